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
    _library_versions,
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
    "library_versions",
]


def library_versions() -> dict[str, str | None]:
    """The libraries the HTTP layer uses, as loaded: 'libcurl', 'tls', 'http2', 'zlib', 'brotli' and
    'zstd' to their version strings (None where libcurl was built without one). Loads libcurl;
    raises ImportError when it cannot be loaded."""
    return _library_versions()
