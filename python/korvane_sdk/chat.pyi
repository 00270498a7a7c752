from collections.abc import Generator, Iterable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, Literal, overload

from .client import KorvaneClient
from .models import ChatCompletion, ChatCompletionChunk, ChatMessage

class ChatCompletionStream(Generator[ChatCompletionChunk, None, None]):
    """Streamed chat completion: a generator of ChatCompletionChunk records.

    The request is sent on the first pull. The open response is held until the stream ends, is
    closed, leaves a with block or is dropped; then the connection is released without reading
    the rest of the body.
    """

    request_id: str | None
    """The answer's X-Request-Id: None until the first pull sent the request (or without one)."""
    def __iter__(self) -> ChatCompletionStream: ...
    def __next__(self) -> ChatCompletionChunk: ...
    def send(self, value: Any, /) -> ChatCompletionChunk: ...
    def throw(self, typ: Any, val: Any = ..., tb: Any = ..., /) -> ChatCompletionChunk: ...
    def close(self) -> None: ...
    def __enter__(self) -> ChatCompletionStream: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
        /,
    ) -> bool: ...
    # Whole answers from the stream (its chunks are merged as they are read).
    def text_deltas(self, choice: int = 0) -> Iterator[str]: ...
    def get_final_completion(self) -> ChatCompletion: ...
    def get_final_answer(self) -> dict[str, Any]: ...

class ChatCompletions:
    """Chat completions API."""

    _client: KorvaneClient

    def __init__(self, client: KorvaneClient) -> None: ...
    @overload
    def create(
        self,
        model: str,
        messages: Iterable[Mapping[str, Any] | ChatMessage],
        temperature: float | None = 0.7,
        max_tokens: int | None = None,
        stream: Literal[False] = False,
        n: int = 1,
        stop: str | Sequence[str] | None = None,
        presence_penalty: float | None = 0.0,
        frequency_penalty: float | None = 0.0,
        top_p: float | None = 1.0,
        rerank_tier: str | None = None,
        rerank_k: int | None = None,
        tenant_id: str | None = None,
        **kwargs: Any,
    ) -> ChatCompletion: ...
    @overload
    def create(
        self,
        model: str,
        messages: Iterable[Mapping[str, Any] | ChatMessage],
        temperature: float | None = 0.7,
        max_tokens: int | None = None,
        *,
        stream: Literal[True],
        n: int = 1,
        stop: str | Sequence[str] | None = None,
        presence_penalty: float | None = 0.0,
        frequency_penalty: float | None = 0.0,
        top_p: float | None = 1.0,
        rerank_tier: str | None = None,
        rerank_k: int | None = None,
        tenant_id: str | None = None,
        **kwargs: Any,
    ) -> ChatCompletionStream: ...
    @overload
    def create(
        self,
        model: str,
        messages: Iterable[Mapping[str, Any] | ChatMessage],
        temperature: float | None,
        max_tokens: int | None,
        stream: Literal[True],
        n: int = 1,
        stop: str | Sequence[str] | None = None,
        presence_penalty: float | None = 0.0,
        frequency_penalty: float | None = 0.0,
        top_p: float | None = 1.0,
        rerank_tier: str | None = None,
        rerank_k: int | None = None,
        tenant_id: str | None = None,
        **kwargs: Any,
    ) -> ChatCompletionStream: ...
    @overload
    def create(
        self,
        model: str,
        messages: Iterable[Mapping[str, Any] | ChatMessage],
        temperature: float | None = 0.7,
        max_tokens: int | None = None,
        stream: bool = False,
        n: int = 1,
        stop: str | Sequence[str] | None = None,
        presence_penalty: float | None = 0.0,
        frequency_penalty: float | None = 0.0,
        top_p: float | None = 1.0,
        rerank_tier: str | None = None,
        rerank_k: int | None = None,
        tenant_id: str | None = None,
        **kwargs: Any,
    ) -> ChatCompletion | ChatCompletionStream:
        """Create a chat completion."""
    def _create_completion(self, payload: dict[str, Any]) -> ChatCompletion:
        """Make a non-streaming completion request."""
    def _stream_completion(self, payload: dict[str, Any]) -> ChatCompletionStream:
        """Make a streaming completion request."""

class Chat:
    """Chat API namespace."""

    completions: ChatCompletions

    def __init__(self, client: KorvaneClient) -> None: ...
