"""The SDK's HTTP layer over libcurl: sessions, responses and transport errors."""

from ._core import Session

__all__ = ["Session"]
