"""The SDK's HTTP layer over libcurl: sessions, responses and transport errors.

OSError
 └── RequestException
      ├── ConnectionError
      │    └── ConnectTimeout (also a Timeout)
      ├── Timeout
      │    ├── ConnectTimeout
      │    └── ReadTimeout
      ├── InvalidURL (also a ValueError)
      ├── InvalidHeader (also a ValueError)
      ├── ChunkedEncodingError
      └── SessionClosedError
"""

from ._core import (
    AsyncResponse,
    AsyncSession,
    ChunkedEncodingError,
    ConnectTimeout,
    Headers,
    InvalidHeader,
    InvalidURL,
    ReadTimeout,
    RequestException,
    Response,
    Session,
    SessionClosedError,
    Timeout,
)
from ._core import (
    HTTPConnectionError as ConnectionError,
)

__all__ = [
    "Session",
    "Response",
    "AsyncSession",
    "AsyncResponse",
    "Headers",
    "RequestException",
    "ConnectionError",
    "Timeout",
    "ConnectTimeout",
    "ReadTimeout",
    "InvalidURL",
    "InvalidHeader",
    "ChunkedEncodingError",
    "SessionClosedError",
]
