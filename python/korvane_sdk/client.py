"""The Korvane client: configuration, session and request execution."""

from ._core import ConnectionError as KorvaneConnectionError
from ._core import Korvane, KorvaneClient
from ._core import TimeoutError as KorvaneTimeoutError

__all__ = ["KorvaneClient", "Korvane"]
