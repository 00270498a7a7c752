from types import TracebackType
from typing import Any, ClassVar, Dict, List, Mapping, Optional, Self, Type

from .chat import Chat
from .exceptions import ConnectionError as KorvaneConnectionError
from .exceptions import TimeoutError as KorvaneTimeoutError
from .feedback import FeedbackManager
from .http import Response, Session
from .models import ModelInfo
from .tenants import TenantManager
from .training import TrainingManager

class KorvaneClient:
    """Client for the Korvane platform API."""

    DEFAULT_API_URL: ClassVar[str]
    DEFAULT_PROXY_URL: ClassVar[str]
    DEFAULT_TIMEOUT: ClassVar[int]

    api_key: Optional[str]
    api_url: str
    proxy_url: str
    timeout: float
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
        api_key: Optional[str] = None,
        api_url: Optional[str] = None,
        proxy_url: Optional[str] = None,
        timeout: float = 60,
        max_retries: int = 3,
        verify_ssl: bool = True,
        *,
        retry_on_busy: bool = False,
        backoff_base: float = 0.5,
        backoff_max: float = 8.0,
        retry_after_max: float = 60.0,
    ) -> None: ...
    def with_options(
        self,
        *,
        api_key: Optional[str] = ...,
        api_url: Optional[str] = ...,
        proxy_url: Optional[str] = ...,
        timeout: float = ...,
        max_retries: int = ...,
        verify_ssl: bool = ...,
        retry_on_busy: bool = ...,
        backoff_base: float = ...,
        backoff_max: float = ...,
        retry_after_max: float = ...,
    ) -> Self:
        """A client configured like this one with the given settings changed; closing one leaves the other open."""
    def list_models(self) -> List[ModelInfo]: ...
    def close(self) -> None: ...
    def __enter__(self) -> "KorvaneClient": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None: ...
    def _get_headers(self) -> Dict[str, str]: ...
    def _get_base_url(self, path: str) -> str: ...
    def _request(
        self,
        method: str,
        path: str,
        params: Optional[Mapping[str, Any]] = None,
        json: Optional[Mapping[str, Any]] = None,
        files: Optional[Mapping[str, Any]] = None,
        raw_response: bool = False,
    ) -> Any: ...
    def _request_stream(self, method: str, path: str, json: Optional[Mapping[str, Any]] = None) -> Response: ...
    def _handle_response(self, response: Response, raw: bool = False) -> Any: ...
    def _handle_error(self, response: Response) -> None: ...

Korvane = KorvaneClient

__all__ = ["KorvaneClient", "Korvane"]
