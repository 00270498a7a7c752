"""The SDK's HTTP layer over libcurl: sessions, responses and transport errors."""

from collections.abc import AsyncIterator, Iterator, Mapping
from typing import IO, Any, Literal, overload

from .types import JSON

_Params = Mapping[str, Any] | list[tuple[str, Any]] | str | bytes | None
_FileContent = IO[bytes] | IO[str] | bytes | bytearray | memoryview | str
_FileValue = _FileContent | tuple[str | None, _FileContent] | tuple[str | None, _FileContent, str | None]
_Files = Mapping[str, _FileValue] | list[tuple[str, _FileValue]] | None
_Timeout = float | tuple[float | None, float | None] | None

class RequestException(OSError):
    """An error of the HTTP layer while handling a request."""

class ConnectionError(RequestException):
    """The connection failed or was lost: name resolution, refusal, reset, TLS or proxy failure."""

class Timeout(RequestException):
    """The request timed out, while connecting or waiting for data."""

class ConnectTimeout(ConnectionError, Timeout):
    """Connecting to the server timed out; both a connection error and a time-out."""

class ReadTimeout(Timeout):
    """The server sent no data within the time-out."""

class InvalidURL(RequestException, ValueError):
    """The URL cannot be used for a request."""

class InvalidHeader(RequestException, ValueError):
    """A header name or value cannot be sent (for instance it holds a line break)."""

class ChunkedEncodingError(RequestException):
    """The answer body broke off or was malformed while it was being read."""

class SessionClosedError(RequestException):
    """The session was closed; it sends no more requests."""

class Headers(Mapping[str, str]):
    """The headers of an answer, looked up by name without regard to case."""

    def __getitem__(self, key: str) -> str: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object) -> bool: ...
    @overload
    def get(self, key: str) -> str | None: ...
    @overload
    def get(self, key: str, default: Any) -> Any: ...
    def keys(self) -> list[str]: ...  # type: ignore[override]
    def values(self) -> list[str]: ...  # type: ignore[override]
    def items(self) -> list[tuple[str, str]]: ...  # type: ignore[override]

class Response:
    """An answer: status, headers and body."""

    @property
    def status_code(self) -> int: ...
    @property
    def reason(self) -> str: ...
    @property
    def url(self) -> str: ...
    @property
    def headers(self) -> Headers: ...
    @property
    def ok(self) -> bool: ...
    @property
    def content(self) -> bytes: ...
    @property
    def text(self) -> str: ...
    def json(self) -> JSON: ...
    @overload
    def iter_lines(self, decode_unicode: Literal[False] = False) -> Iterator[bytes]: ...
    @overload
    def iter_lines(self, decode_unicode: Literal[True]) -> Iterator[str]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Response: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> None: ...

class Session:
    """Sends HTTP requests, keeping connections alive for reuse; safe to share between threads."""

    verify: Any  # False: no verification; a path (str, os.PathLike): the CA file or directory; True: see the docs
    max_body_size: int
    def __init__(self) -> None: ...
    def request(
        self,
        method: str,
        url: str,
        params: _Params = None,
        json: Any = None,
        files: _Files = None,
        headers: Mapping[str, str | bytes | None] | None = None,
        timeout: _Timeout = None,
        stream: bool = False,
    ) -> Response: ...
    def close(self) -> None: ...
    def __enter__(self) -> Session: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> None: ...

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
    'zstd' to their version strings (None where libcurl was built without one)."""

class AsyncResponse:
    """An answer of an AsyncSession: status, headers and body."""

    @property
    def status_code(self) -> int: ...
    @property
    def reason(self) -> str: ...
    @property
    def url(self) -> str: ...
    @property
    def headers(self) -> Headers: ...
    @property
    def ok(self) -> bool: ...
    @property
    def content(self) -> bytes: ...
    @property
    def text(self) -> str: ...
    def json(self) -> JSON: ...
    async def aread(self) -> bytes: ...
    def aiter_lines(self) -> AsyncIterator[bytes]: ...
    async def aclose(self) -> None: ...
    async def __aenter__(self) -> AsyncResponse: ...
    async def __aexit__(self, exc_type: object, exc_value: object, traceback: object) -> None: ...

class AsyncSession:
    """Sends HTTP requests from an asyncio event loop, which moves every transfer on; connections are shared."""

    verify: Any  # as Session.verify
    max_body_size: int
    max_connections: int
    """Connections open at once (100 by default); requests beyond wait for one to be free. As many idle
    connections are kept for reuse; one its server closed is let go at once."""
    def __init__(self, *, max_connections: int = 100) -> None: ...
    async def request(
        self,
        method: str,
        url: str,
        params: _Params = None,
        json: Any = None,
        files: _Files = None,
        headers: Mapping[str, str | bytes | None] | None = None,
        timeout: _Timeout = None,
        stream: bool = False,
    ) -> AsyncResponse: ...
    async def close(self) -> None: ...
    async def aclose(self) -> None: ...
    async def __aenter__(self) -> AsyncSession: ...
    async def __aexit__(self, exc_type: object, exc_value: object, traceback: object) -> None: ...
