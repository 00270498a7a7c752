from types import TracebackType
from typing import Any, Dict, Generator, Iterable, Literal, Mapping, Optional, Sequence, Type, Union, overload

from .client import KorvaneClient
from .models import ChatCompletion, ChatCompletionChunk, ChatMessage

class ChatCompletionStream(Generator[ChatCompletionChunk, None, None]):
    """Streamed chat completion: a generator of ChatCompletionChunk records.

    The request is sent on the first pull. The open response is held until the stream ends, is
    closed, leaves a with block or is dropped; then the connection is released without reading
    the rest of the body.
    """

    def __iter__(self) -> "ChatCompletionStream": ...
    def __next__(self) -> ChatCompletionChunk: ...
    def send(self, value: Any, /) -> ChatCompletionChunk: ...
    def throw(self, typ: Any, val: Any = ..., tb: Any = ..., /) -> ChatCompletionChunk: ...
    def close(self) -> None: ...
    def __enter__(self) -> "ChatCompletionStream": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
        /,
    ) -> bool: ...

class ChatCompletions:
    """Chat completions API."""

    _client: KorvaneClient

    def __init__(self, client: KorvaneClient) -> None: ...
    @overload
    def create(
        self,
        model: str,
        messages: Iterable[Union[Mapping[str, Any], ChatMessage]],
        temperature: Optional[float] = 0.7,
        max_tokens: Optional[int] = None,
        stream: Literal[False] = False,
        n: int = 1,
        stop: Optional[Union[str, Sequence[str]]] = None,
        presence_penalty: Optional[float] = 0.0,
        frequency_penalty: Optional[float] = 0.0,
        top_p: Optional[float] = 1.0,
        rerank_tier: Optional[str] = None,
        rerank_k: Optional[int] = None,
        tenant_id: Optional[str] = None,
        **kwargs: Any,
    ) -> ChatCompletion:
        ...
    @overload
    def create(
        self,
        model: str,
        messages: Iterable[Union[Mapping[str, Any], ChatMessage]],
        temperature: Optional[float] = 0.7,
        max_tokens: Optional[int] = None,
        *,
        stream: Literal[True],
        n: int = 1,
        stop: Optional[Union[str, Sequence[str]]] = None,
        presence_penalty: Optional[float] = 0.0,
        frequency_penalty: Optional[float] = 0.0,
        top_p: Optional[float] = 1.0,
        rerank_tier: Optional[str] = None,
        rerank_k: Optional[int] = None,
        tenant_id: Optional[str] = None,
        **kwargs: Any,
    ) -> ChatCompletionStream:
        ...
    @overload
    def create(
        self,
        model: str,
        messages: Iterable[Union[Mapping[str, Any], ChatMessage]],
        temperature: Optional[float],
        max_tokens: Optional[int],
        stream: Literal[True],
        n: int = 1,
        stop: Optional[Union[str, Sequence[str]]] = None,
        presence_penalty: Optional[float] = 0.0,
        frequency_penalty: Optional[float] = 0.0,
        top_p: Optional[float] = 1.0,
        rerank_tier: Optional[str] = None,
        rerank_k: Optional[int] = None,
        tenant_id: Optional[str] = None,
        **kwargs: Any,
    ) -> ChatCompletionStream:
        ...
    @overload
    def create(
        self,
        model: str,
        messages: Iterable[Union[Mapping[str, Any], ChatMessage]],
        temperature: Optional[float] = 0.7,
        max_tokens: Optional[int] = None,
        stream: bool = False,
        n: int = 1,
        stop: Optional[Union[str, Sequence[str]]] = None,
        presence_penalty: Optional[float] = 0.0,
        frequency_penalty: Optional[float] = 0.0,
        top_p: Optional[float] = 1.0,
        rerank_tier: Optional[str] = None,
        rerank_k: Optional[int] = None,
        tenant_id: Optional[str] = None,
        **kwargs: Any,
    ) -> Union[ChatCompletion, ChatCompletionStream]:
        """Create a chat completion."""
    def _create_completion(self, payload: Dict[str, Any]) -> ChatCompletion:
        """Make a non-streaming completion request."""
    def _stream_completion(self, payload: Dict[str, Any]) -> Generator[ChatCompletionChunk, None, None]:
        """Make a streaming completion request."""

class Chat:
    """Chat API namespace."""

    completions: ChatCompletions

    def __init__(self, client: KorvaneClient) -> None: ...
