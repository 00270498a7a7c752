"""Typed request and answer records: chat, models, tenants, feedback, training jobs and datasets."""

from collections.abc import Iterator, Mapping
from datetime import datetime
from typing import Any, ClassVar, Literal, TypeAlias, TypeVar

from .types import ChunkChoice

_Record = TypeVar("_Record", bound="BaseModel")

# The statuses a training job moves through: pending, running, then completed, failed or cancelled.
_JobStatus: TypeAlias = Literal["pending", "running", "completed", "failed", "cancelled"]

class FieldInfo:
    """What a record declares about one field."""

    annotation: Any
    type_text: str
    default: Any
    default_factory: type | None
    description: str | None
    ge: int | None
    le: int | None
    min_length: int | None
    max_length: int | None
    def is_required(self) -> bool: ...

class ValidationError(ValueError):
    """Raised when data does not fit a record: lists every problem, each with its location and reason."""

    title: str
    def __init__(self, title: str, errors: list[dict[str, Any]]) -> None: ...
    def errors(
        self, *, include_url: bool = True, include_context: bool = True, include_input: bool = True
    ) -> list[dict[str, Any]]: ...
    def error_count(self) -> int: ...
    def json(
        self,
        *,
        indent: int | None = None,
        include_url: bool = True,
        include_context: bool = True,
        include_input: bool = True,
    ) -> str: ...

class BaseModel:
    """Base class of the records: typed fields, validation on construction, dumping."""

    model_fields: ClassVar[dict[str, FieldInfo]]
    def __init__(self, **data: Any) -> None: ...
    # The X-Request-Id of the answer when a call returned this record (read-only); None for a record
    # made by the application, a copy, a nested record or a member of a list.
    @property
    def _request_id(self) -> str | None: ...
    def model_dump(
        self, *, mode: Literal["python", "json"] = "python", exclude_none: bool = False, by_alias: bool = False
    ) -> dict[str, Any]: ...
    def model_dump_json(
        self, *, indent: int | None = None, exclude_none: bool = False, by_alias: bool = False
    ) -> str: ...
    def model_copy(self: _Record, *, update: Mapping[str, Any] | None = None, deep: bool = False) -> _Record: ...
    @classmethod
    def model_validate(cls: type[_Record], obj: Any) -> _Record: ...
    @classmethod
    def model_validate_json(cls: type[_Record], json_data: str | bytes | bytearray) -> _Record: ...
    def __iter__(self) -> Iterator[tuple[str, Any]]: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

# Chat and model records.

class ChatMessage(BaseModel):
    """A single chat message."""

    role: str
    content: str
    name: str | None
    def __init__(self, *, role: str, content: str, name: str | None = None) -> None: ...

class ChatCompletionChoice(BaseModel):
    """A single completion choice."""

    index: int
    message: ChatMessage
    finish_reason: str | None
    def __init__(
        self, *, index: int, message: ChatMessage | Mapping[str, Any], finish_reason: str | None = None
    ) -> None: ...

class ChatCompletionUsage(BaseModel):
    """Token usage statistics."""

    prompt_tokens: int
    completion_tokens: int
    total_tokens: int
    def __init__(self, *, prompt_tokens: int, completion_tokens: int, total_tokens: int) -> None: ...

class ChatCompletion(BaseModel):
    """Chat completion response."""

    id: str
    object: str
    created: int
    model: str
    choices: list[ChatCompletionChoice]
    usage: ChatCompletionUsage | None
    rerank_tier: str | None
    quantum_enhanced: bool
    def __init__(
        self,
        *,
        id: str,
        object: str = "chat.completion",
        created: int,
        model: str,
        choices: list[ChatCompletionChoice | Mapping[str, Any]],
        usage: ChatCompletionUsage | Mapping[str, Any] | None = None,
        rerank_tier: str | None = None,
        quantum_enhanced: bool = False,
    ) -> None: ...

class ChatCompletionChunk(BaseModel):
    """Streaming chat completion chunk."""

    id: str
    object: str
    created: int
    model: str
    choices: list[ChunkChoice]
    def __init__(
        self,
        *,
        id: str,
        object: str = "chat.completion.chunk",
        created: int,
        model: str,
        choices: list[ChunkChoice] | list[dict[str, Any]],
    ) -> None: ...

class ModelInfo(BaseModel):
    """Available model information."""

    id: str
    name: str
    description: str | None
    context_length: int
    supports_streaming: bool
    supports_functions: bool
    supports_vision: bool
    input_cost_per_1k: float
    output_cost_per_1k: float
    is_custom: bool
    base_model: str | None
    def __init__(
        self,
        *,
        id: str,
        name: str,
        description: str | None = None,
        context_length: int = 4096,
        supports_streaming: bool = True,
        supports_functions: bool = False,
        supports_vision: bool = False,
        input_cost_per_1k: float = 0.0,
        output_cost_per_1k: float = 0.0,
        is_custom: bool = False,
        base_model: str | None = None,
    ) -> None: ...

class RerankTier(BaseModel):
    """Reranking tier information."""

    name: str
    description: str
    latency_ms: int
    quality_score: float
    def __init__(self, *, name: str, description: str, latency_ms: int, quality_score: float) -> None: ...

class RerankResult(BaseModel):
    """Reranking result metadata."""

    tier_used: str
    candidates_evaluated: int
    best_index: int
    scores: list[float]
    latency_ms: float
    quantum_enhanced: bool
    def __init__(
        self,
        *,
        tier_used: str,
        candidates_evaluated: int,
        best_index: int,
        scores: list[float] = ...,
        latency_ms: float,
        quantum_enhanced: bool = False,
    ) -> None: ...

# Tenant, feedback and training records.

class Tenant(BaseModel):
    """Tenant (organization) information."""

    id: str
    name: str
    slug: str
    plan: str
    is_active: bool
    created_at: datetime
    updated_at: datetime | None
    monthly_tokens_limit: int | None
    monthly_tokens_used: int
    monthly_requests_limit: int | None
    monthly_requests_used: int
    features: list[str]
    metadata: dict[str, Any]
    def __init__(
        self,
        *,
        id: str,
        name: str,
        slug: str,
        plan: str = "free",
        is_active: bool = True,
        created_at: datetime | str | int | float,
        updated_at: datetime | str | int | float | None = None,
        monthly_tokens_limit: int | None = None,
        monthly_tokens_used: int = 0,
        monthly_requests_limit: int | None = None,
        monthly_requests_used: int = 0,
        features: list[str] = ...,
        metadata: dict[str, Any] = ...,
    ) -> None: ...

class TenantCreate(BaseModel):
    """Request to create a tenant."""

    name: str
    slug: str | None
    plan: str
    metadata: dict[str, Any]
    def __init__(
        self, *, name: str, slug: str | None = None, plan: str = "free", metadata: dict[str, Any] = ...
    ) -> None: ...

class TenantUpdate(BaseModel):
    """Request to update a tenant."""

    name: str | None
    plan: str | None
    is_active: bool | None
    metadata: dict[str, Any] | None
    def __init__(
        self,
        *,
        name: str | None = None,
        plan: str | None = None,
        is_active: bool | None = None,
        metadata: dict[str, Any] | None = None,
    ) -> None: ...

class Feedback(BaseModel):
    """User feedback on a response."""

    id: str
    tenant_id: str
    request_id: str
    rating: int
    comment: str | None
    tags: list[str]
    created_at: datetime
    prompt: str | None
    response: str | None
    model: str | None
    def __init__(
        self,
        *,
        id: str,
        tenant_id: str,
        request_id: str,
        rating: int,
        comment: str | None = None,
        tags: list[str] = ...,
        created_at: datetime | str | int | float,
        prompt: str | None = None,
        response: str | None = None,
        model: str | None = None,
    ) -> None: ...

class FeedbackCreate(BaseModel):
    """Request to create feedback."""

    request_id: str
    rating: int
    comment: str | None
    tags: list[str]
    prompt: str | None
    response: str | None
    def __init__(
        self,
        *,
        request_id: str,
        rating: int,
        comment: str | None = None,
        tags: list[str] = ...,
        prompt: str | None = None,
        response: str | None = None,
    ) -> None: ...

class FeedbackStats(BaseModel):
    """Feedback statistics."""

    total_count: int
    positive_count: int
    negative_count: int
    neutral_count: int
    positive_rate: float
    tags_distribution: dict[str, int]
    def __init__(
        self,
        *,
        total_count: int,
        positive_count: int,
        negative_count: int,
        neutral_count: int,
        positive_rate: float,
        tags_distribution: dict[str, int] = ...,
    ) -> None: ...

class TrainingJob(BaseModel):
    """Training job information."""

    id: str
    tenant_id: str
    status: _JobStatus
    training_type: str
    base_model: str
    config: dict[str, Any]
    progress: float
    current_step: int
    total_steps: int
    current_epoch: int
    total_epochs: int
    metrics: dict[str, Any]
    created_at: datetime
    started_at: datetime | None
    completed_at: datetime | None
    output_model_id: str | None
    error_message: str | None
    def __init__(
        self,
        *,
        id: str,
        tenant_id: str,
        status: str,
        training_type: str,
        base_model: str,
        config: dict[str, Any] = ...,
        progress: float = 0.0,
        current_step: int = 0,
        total_steps: int = 0,
        current_epoch: int = 0,
        total_epochs: int = 0,
        metrics: dict[str, Any] = ...,
        created_at: datetime | str | int | float,
        started_at: datetime | str | int | float | None = None,
        completed_at: datetime | str | int | float | None = None,
        output_model_id: str | None = None,
        error_message: str | None = None,
    ) -> None: ...

class TrainingJobCreate(BaseModel):
    """Request to create a training job."""

    training_type: str
    base_model: str
    dataset_id: str | None
    config: dict[str, Any]
    num_gpus: int
    priority: str
    def __init__(
        self,
        *,
        training_type: str,
        base_model: str = "meta-llama/Llama-3.1-8B-Instruct",
        dataset_id: str | None = None,
        config: dict[str, Any] = ...,
        num_gpus: int = 8,
        priority: str = "normal",
    ) -> None: ...

class TrainingJobCancel(BaseModel):
    """Request to cancel a training job."""

    reason: str | None
    def __init__(self, *, reason: str | None = None) -> None: ...

class Dataset(BaseModel):
    """Training dataset."""

    id: str
    tenant_id: str
    name: str
    description: str | None
    num_examples: int
    size_bytes: int
    dataset_type: str
    status: str
    created_at: datetime
    updated_at: datetime | None
    def __init__(
        self,
        *,
        id: str,
        tenant_id: str,
        name: str,
        description: str | None = None,
        num_examples: int = 0,
        size_bytes: int = 0,
        dataset_type: str,
        status: str = "ready",
        created_at: datetime | str | int | float,
        updated_at: datetime | str | int | float | None = None,
    ) -> None: ...

class DatasetCreate(BaseModel):
    """Request to create a dataset."""

    name: str
    description: str | None
    dataset_type: str
    def __init__(self, *, name: str, description: str | None = None, dataset_type: str = "sft") -> None: ...

__all__ = [
    "BaseModel",
    "ValidationError",
    "ChatMessage",
    "ChatCompletionChoice",
    "ChatCompletionUsage",
    "ChatCompletion",
    "ChatCompletionChunk",
    "ModelInfo",
    "RerankTier",
    "RerankResult",
    "Tenant",
    "TenantCreate",
    "TenantUpdate",
    "Feedback",
    "FeedbackCreate",
    "FeedbackStats",
    "TrainingJob",
    "TrainingJobCreate",
    "TrainingJobCancel",
    "Dataset",
    "DatasetCreate",
]
