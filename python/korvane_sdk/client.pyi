from collections.abc import Callable, Mapping, Sequence
from types import TracebackType
from typing import Any, ClassVar

from typing_extensions import Self

from . import exceptions as _exceptions
from .chat import Chat
from .feedback import FeedbackManager
from .http import Response, Session
from .models import ModelInfo
from .tenants import TenantManager
from .training import TrainingManager

# A callable giving the API key, asked once per attempt (key rotation).
_KeySource = Callable[[], str]
# A hook: given a korvane_sdk.hooks.HookRequest or HookResponse; what it returns is ignored.
_Hook = Callable[[Any], object]

class KorvaneClient:
    """Client for the Korvane platform API."""

    DEFAULT_API_URL: ClassVar[str]
    DEFAULT_PROXY_URL: ClassVar[str]
    DEFAULT_TIMEOUT: ClassVar[int]

    api_key: str | _KeySource | None
    hooks: Mapping[str, tuple[_Hook, ...]]
    """The hooks by event ("request", "response"), as given at construction (read-only)."""
    default_headers: Mapping[str, str]
    default_query: Mapping[str, str | int | float]
    api_url: str
    proxy_url: str
    timeout: float | None
    max_retries: int
    verify_ssl: bool
    retry_on_busy: bool
    backoff_base: float
    backoff_max: float
    retry_after_max: float
    chat: Chat
    tenants: TenantManager
    feedback: FeedbackManager
    training: TrainingManager
    _session: Session

    def __init__(
        self,
        api_key: str | _KeySource | None = None,
        api_url: str | None = None,
        proxy_url: str | None = None,
        timeout: float | None = 60,
        max_retries: int = 3,
        verify_ssl: bool = True,
        *,
        retry_on_busy: bool = False,
        backoff_base: float = 0.5,
        backoff_max: float = 8.0,
        retry_after_max: float = 60.0,
        hooks: Mapping[str, Sequence[_Hook]] | None = None,
        default_headers: Mapping[str, str] | None = None,
        default_query: Mapping[str, str | int | float] | None = None,
    ) -> None: ...
    with_raw_response: Any
    """The namespaces and operations, each operation giving a korvane_sdk.hooks.RawResponse."""
    def with_options(
        self,
        *,
        api_key: str | _KeySource | None = ...,
        api_url: str | None = ...,
        proxy_url: str | None = ...,
        timeout: float | None = ...,
        max_retries: int = ...,
        verify_ssl: bool = ...,
        retry_on_busy: bool = ...,
        backoff_base: float = ...,
        backoff_max: float = ...,
        retry_after_max: float = ...,
        hooks: Mapping[str, Sequence[_Hook]] | None = ...,
        default_headers: Mapping[str, str] | None = ...,
        default_query: Mapping[str, str | int | float] | None = ...,
    ) -> Self:
        """A client configured like this one with the given settings changed; closing one leaves the other open."""
    def list_models(self) -> list[ModelInfo]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None: ...
    def _get_headers(self) -> dict[str, str]: ...
    def _get_base_url(self, path: str) -> str: ...
    def _request(
        self,
        method: str,
        path: str,
        params: Mapping[str, Any] | None = None,
        json: Mapping[str, Any] | None = None,
        files: Mapping[str, Any] | None = None,
        raw_response: bool = False,
    ) -> Any: ...
    def _request_stream(self, method: str, path: str, json: Mapping[str, Any] | None = None) -> Response: ...
    def _handle_response(self, response: Response, raw: bool = False) -> Any: ...
    def _handle_error(self, response: Response) -> None: ...

Korvane = KorvaneClient
# The SDK's connection and time-out errors under the names the module also gives them.
KorvaneConnectionError = _exceptions.ConnectionError
KorvaneTimeoutError = _exceptions.TimeoutError

__all__ = ["KorvaneClient", "Korvane"]
