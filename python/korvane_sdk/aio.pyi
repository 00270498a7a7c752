"""The asyncio client: the blocking client's surface, awaited."""

import builtins
import os
from collections.abc import AsyncIterator, Awaitable, Callable, Iterable, Mapping, Sequence
from datetime import datetime
from types import TracebackType
from typing import (
    Any,
    ClassVar,
    Literal,
    overload,
)

from _typeshed import SupportsRead
from typing_extensions import Self

from .http import AsyncResponse, AsyncSession
from .models import (
    ChatCompletion,
    ChatCompletionChunk,
    ChatMessage,
    Dataset,
    Feedback,
    FeedbackStats,
    ModelInfo,
    Tenant,
    TrainingJob,
    _JobStatus,
)
from .types import JobMetrics, TenantUsage

# A callable giving the API key, asked once per attempt (key rotation).
_AsyncKeySource = Callable[[], str | Awaitable[str]]
# A hook: given a korvane_sdk.hooks.HookRequest or HookResponse; what it returns is ignored (awaited when awaitable).
_AsyncHook = Callable[[Any], object | Awaitable[object]]

class AsyncChatCompletionStream:
    """Streamed chat completion: an async iterator of ChatCompletionChunk records.

    The request is sent on the first pull. The open response is held until the stream ends, is
    closed (aclose()), leaves an async with block or fails; then its connection is released
    without reading the rest of the body.
    """

    request_id: str | None
    """The answer's X-Request-Id: None until the first pull sent the request (or without one)."""
    def __aiter__(self) -> AsyncChatCompletionStream: ...
    async def __anext__(self) -> ChatCompletionChunk: ...
    async def aclose(self) -> None: ...
    async def __aenter__(self) -> AsyncChatCompletionStream: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None: ...
    # Whole answers from the stream (its chunks are merged as they are read).
    def text_deltas(self, choice: int = 0) -> AsyncIterator[str]: ...
    async def get_final_completion(self) -> ChatCompletion: ...
    async def get_final_answer(self) -> dict[str, Any]: ...

class AsyncChatCompletions:
    """Chat completions API, awaited."""

    _client: AsyncKorvane

    def __init__(self, client: AsyncKorvane) -> None: ...
    @overload
    async def create(
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
    async def create(
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
    ) -> AsyncChatCompletionStream: ...
    @overload
    async def create(
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
    ) -> AsyncChatCompletionStream: ...
    @overload
    async def create(
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
    ) -> ChatCompletion | AsyncChatCompletionStream:
        """Create a chat completion."""
    async def _create_completion(self, payload: dict[str, Any]) -> ChatCompletion:
        """Make a non-streaming completion request."""
    async def _stream_completion(self, payload: dict[str, Any]) -> AsyncChatCompletionStream:
        """Make a streaming completion request."""

class AsyncChat:
    """Chat API namespace, awaited."""

    completions: AsyncChatCompletions

    def __init__(self, client: AsyncKorvane) -> None: ...

class AsyncTenantManager:
    """Manage tenants (organizations) in multi-tenant mode."""

    _client: AsyncKorvane

    def __init__(self, client: AsyncKorvane) -> None: ...
    async def list(self, limit: int = 100, offset: int = 0, is_active: bool | None = None) -> builtins.list[Tenant]:
        """List all tenants."""
    def iter(self, *, is_active: bool | None = None, page_size: int = 100) -> AsyncIterator[Tenant]:
        """Every tenant, fetched page by page (one request per page) as the iterator is used.

        Pages are fetched by offset: deleting the records while iterating (or changing them so the
        filters no longer match) moves the records not yet seen forward, and the iterator silently
        skips that many. Collect first, then change: ``ids = [r.id for r in <iterator>]``, then delete
        each id.
        """
    async def get(self, tenant_id: str) -> Tenant:
        """Get a tenant by ID."""
    async def create(
        self,
        name: str,
        slug: str | None = None,
        plan: str = "free",
        metadata: Mapping[str, Any] | None = None,
    ) -> Tenant:
        """Create a new tenant."""
    async def update(
        self,
        tenant_id: str,
        name: str | None = None,
        plan: str | None = None,
        is_active: bool | None = None,
        metadata: Mapping[str, Any] | None = None,
    ) -> Tenant:
        """Update a tenant."""
    async def delete(self, tenant_id: str) -> bool:
        """Delete a tenant."""
    async def get_usage(self, tenant_id: str) -> TenantUsage:
        """Get usage statistics for a tenant."""
    async def regenerate_api_key(self, tenant_id: str) -> dict[str, str]:
        """Regenerate API key for a tenant."""

class AsyncFeedbackManager:
    """Manage user feedback for model improvement."""

    _client: AsyncKorvane

    def __init__(self, client: AsyncKorvane) -> None: ...
    async def create(
        self,
        request_id: str,
        rating: int,
        comment: str | None = None,
        tags: builtins.list[str] | tuple[str, ...] | None = None,
        prompt: str | None = None,
        response: str | None = None,
        tenant_id: str | None = None,
    ) -> Feedback:
        """Submit feedback for a response."""
    async def list(
        self,
        tenant_id: str | None = None,
        limit: int = 100,
        offset: int = 0,
        rating: int | None = None,
        start_date: datetime | str | None = None,
        end_date: datetime | str | None = None,
        tags: builtins.list[str] | tuple[str, ...] | None = None,
    ) -> builtins.list[Feedback]:
        """List feedback."""
    def iter(
        self,
        *,
        tenant_id: str | None = None,
        rating: int | None = None,
        start_date: datetime | str | None = None,
        end_date: datetime | str | None = None,
        tags: builtins.list[str] | tuple[str, ...] | None = None,
        page_size: int = 100,
    ) -> AsyncIterator[Feedback]:
        """Every feedback matching the filters, fetched page by page (one request per page).

        Pages are fetched by offset: deleting the records while iterating (or changing them so the
        filters no longer match) moves the records not yet seen forward, and the iterator silently
        skips that many. Collect first, then change: ``ids = [r.id for r in <iterator>]``, then delete
        each id.
        """
    async def get(self, feedback_id: str, tenant_id: str | None = None) -> Feedback:
        """Get a feedback entry."""
    async def delete(self, feedback_id: str, tenant_id: str | None = None) -> bool:
        """Delete a feedback entry."""
    async def stats(
        self,
        tenant_id: str | None = None,
        start_date: datetime | str | None = None,
        end_date: datetime | str | None = None,
    ) -> FeedbackStats:
        """Get feedback statistics."""
    async def export(self, tenant_id: str | None = None, format: str = "jsonl", rating: int | None = None) -> str:
        """Export feedback for training."""

class AsyncTrainingManager:
    """Manage model training jobs."""

    _client: AsyncKorvane

    def __init__(self, client: AsyncKorvane) -> None:
        """Initialize training manager."""
    async def create(
        self,
        training_type: str,
        base_model: str = "meta-llama/Llama-3.1-8B-Instruct",
        dataset_id: str | None = None,
        config: Mapping[str, Any] | None = None,
        num_gpus: int = 8,
        priority: str = "normal",
        tenant_id: str | None = None,
    ) -> TrainingJob:
        """Create a new training job."""
    async def get(self, job_id: str, tenant_id: str | None = None) -> TrainingJob:
        """Get a training job."""
    async def list(
        self,
        tenant_id: str | None = None,
        status: _JobStatus | None = None,
        training_type: str | None = None,
        limit: int = 100,
        offset: int = 0,
    ) -> builtins.list[TrainingJob]:
        """List training jobs."""
    def iter_jobs(
        self,
        *,
        tenant_id: str | None = None,
        status: _JobStatus | None = None,
        training_type: str | None = None,
        page_size: int = 100,
    ) -> AsyncIterator[TrainingJob]:
        """Every training job matching the filters, fetched page by page (one request per page).

        Pages are fetched by offset: deleting the records while iterating (or changing them so the
        filters no longer match) moves the records not yet seen forward, and the iterator silently
        skips that many. Collect first, then change: ``ids = [r.id for r in <iterator>]``, then delete
        each id.
        """
    async def cancel(self, job_id: str, reason: str | None = None, tenant_id: str | None = None) -> TrainingJob:
        """Cancel a training job."""
    async def get_logs(self, job_id: str, tenant_id: str | None = None, tail: int = 100) -> str:
        """Get training job logs."""
    async def get_metrics(self, job_id: str, tenant_id: str | None = None) -> JobMetrics:
        """Get training job metrics."""
    async def create_dataset(
        self,
        name: str,
        description: str | None = None,
        dataset_type: str = "sft",
        tenant_id: str | None = None,
    ) -> Dataset:
        """Create a new dataset."""
    async def list_datasets(
        self,
        tenant_id: str | None = None,
        dataset_type: str | None = None,
        limit: int = 100,
        offset: int = 0,
    ) -> builtins.list[Dataset]:
        """List datasets."""
    def iter_datasets(
        self, *, tenant_id: str | None = None, dataset_type: str | None = None, page_size: int = 100
    ) -> AsyncIterator[Dataset]:
        """Every dataset matching the filters, fetched page by page (one request per page).

        Pages are fetched by offset: deleting the records while iterating (or changing them so the
        filters no longer match) moves the records not yet seen forward, and the iterator silently
        skips that many. Collect first, then change: ``ids = [r.id for r in <iterator>]``, then delete
        each id.
        """
    async def get_dataset(self, dataset_id: str, tenant_id: str | None = None) -> Dataset:
        """Get a dataset."""
    async def delete_dataset(self, dataset_id: str, tenant_id: str | None = None) -> bool:
        """Delete a dataset."""
    async def upload_dataset(
        self,
        dataset_id: str,
        file_path: str | os.PathLike[str] | SupportsRead[bytes],
        tenant_id: str | None = None,
    ) -> Dataset:
        """Upload data to a dataset.

        The data is JSON Lines (UTF-8): one training example per line, a JSON object such as
        {"prompt": "...", "response": "..."}; blank lines are skipped. `file_path` is a path, or a
        binary file object open for reading (an open file, io.BytesIO), sent from its position
        without being read into memory and left open. Bytes are refused: wrap them in io.BytesIO.
        """
    async def generate_from_feedback(
        self,
        dataset_name: str,
        tenant_id: str | None = None,
        min_rating: int | None = 1,
        dataset_type: str = "sft",
    ) -> Dataset:
        """Generate a dataset from collected feedback."""

class AsyncKorvane:
    """Asyncio client for the Korvane platform API."""

    DEFAULT_API_URL: ClassVar[str]
    DEFAULT_PROXY_URL: ClassVar[str]
    DEFAULT_TIMEOUT: ClassVar[int]

    api_key: str | _AsyncKeySource | None
    hooks: Mapping[str, tuple[_AsyncHook, ...]]
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
    chat: AsyncChat
    tenants: AsyncTenantManager
    feedback: AsyncFeedbackManager
    training: AsyncTrainingManager
    max_connections: int
    """Connections open at once; calls beyond wait for a free one (as many idle ones are kept)."""
    _session: AsyncSession

    def __init__(
        self,
        api_key: str | _AsyncKeySource | None = None,
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
        hooks: Mapping[str, Sequence[_AsyncHook]] | None = None,
        default_headers: Mapping[str, str] | None = None,
        default_query: Mapping[str, str | int | float] | None = None,
        max_connections: int = 100,
    ) -> None:
        """As KorvaneClient's; max_connections caps the connections open at once (calls beyond wait)."""
    with_raw_response: Any
    """The namespaces and operations, each operation giving a korvane_sdk.hooks.RawResponse."""
    def with_options(
        self,
        *,
        api_key: str | _AsyncKeySource | None = ...,
        api_url: str | None = ...,
        proxy_url: str | None = ...,
        timeout: float | None = ...,
        max_retries: int = ...,
        verify_ssl: bool = ...,
        retry_on_busy: bool = ...,
        backoff_base: float = ...,
        backoff_max: float = ...,
        retry_after_max: float = ...,
        hooks: Mapping[str, Sequence[_AsyncHook]] | None = ...,
        default_headers: Mapping[str, str] | None = ...,
        default_query: Mapping[str, str | int | float] | None = ...,
    ) -> Self:
        """A client configured like this one with the given settings changed; closing one leaves the other open."""
    async def list_models(self) -> list[ModelInfo]: ...
    async def close(self) -> None: ...
    async def aclose(self) -> None: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None: ...
    def _get_headers(self) -> dict[str, str]: ...
    def _get_base_url(self, path: str) -> str: ...
    async def _request(
        self,
        method: str,
        path: str,
        params: Mapping[str, Any] | None = None,
        json: Mapping[str, Any] | None = None,
        files: Mapping[str, Any] | None = None,
        raw_response: bool = False,
    ) -> Any: ...
    async def _request_stream(self, method: str, path: str, json: Mapping[str, Any] | None = None) -> AsyncResponse: ...
    async def _handle_response(self, response: AsyncResponse, raw: bool = False) -> Any: ...
    def _handle_error(self, response: AsyncResponse) -> None: ...

AsyncKorvaneClient = AsyncKorvane

__all__ = ["AsyncKorvane", "AsyncKorvaneClient", "AsyncChatCompletionStream"]
