"""Typed request and answer records: chat, models, tenants, feedback, training jobs and datasets."""

from datetime import datetime
from typing import Any, ClassVar, Dict, Iterator, List, Literal, Mapping, Optional, Tuple, TypeVar, Union

_Record = TypeVar("_Record", bound="BaseModel")

class FieldInfo:
    """What a record declares about one field."""

    annotation: Any
    type_text: str
    default: Any
    default_factory: Optional[type]
    description: Optional[str]
    ge: Optional[int]
    le: Optional[int]
    min_length: Optional[int]
    max_length: Optional[int]
    def is_required(self) -> bool: ...

class ValidationError(ValueError):
    """Raised when data does not fit a record: lists every problem, each with its location and reason."""

    title: str
    def __init__(self, title: str, errors: List[Dict[str, Any]]) -> None: ...
    def errors(
        self, *, include_url: bool = True, include_context: bool = True, include_input: bool = True
    ) -> List[Dict[str, Any]]: ...
    def error_count(self) -> int: ...
    def json(
        self,
        *,
        indent: Optional[int] = None,
        include_url: bool = True,
        include_context: bool = True,
        include_input: bool = True,
    ) -> str: ...

class BaseModel:
    """Base class of the records: typed fields, validation on construction, dumping."""

    model_fields: ClassVar[Dict[str, FieldInfo]]
    def __init__(self, **data: Any) -> None: ...
    def model_dump(
        self, *, mode: Literal["python", "json"] = "python", exclude_none: bool = False, by_alias: bool = False
    ) -> Dict[str, Any]: ...
    def model_dump_json(
        self, *, indent: Optional[int] = None, exclude_none: bool = False, by_alias: bool = False
    ) -> str: ...
    def model_copy(self: _Record, *, update: Optional[Mapping[str, Any]] = None, deep: bool = False) -> _Record: ...
    @classmethod
    def model_validate(cls: type[_Record], obj: Any) -> _Record: ...
    @classmethod
    def model_validate_json(cls: type[_Record], json_data: Union[str, bytes, bytearray]) -> _Record: ...
    def __iter__(self) -> Iterator[Tuple[str, Any]]: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

# Chat and model records.

class ChatMessage(BaseModel):
    """A single chat message."""

    role: str
    content: str
    name: Optional[str]
    def __init__(self, *, role: str, content: str, name: Optional[str] = None) -> None: ...

class ChatCompletionChoice(BaseModel):
    """A single completion choice."""

    index: int
    message: ChatMessage
    finish_reason: Optional[str]
    def __init__(
        self, *, index: int, message: Union[ChatMessage, Mapping[str, Any]], finish_reason: Optional[str] = None
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
    choices: List[ChatCompletionChoice]
    usage: Optional[ChatCompletionUsage]
    rerank_tier: Optional[str]
    quantum_enhanced: bool
    def __init__(
        self,
        *,
        id: str,
        object: str = "chat.completion",
        created: int,
        model: str,
        choices: List[Union[ChatCompletionChoice, Mapping[str, Any]]],
        usage: Optional[Union[ChatCompletionUsage, Mapping[str, Any]]] = None,
        rerank_tier: Optional[str] = None,
        quantum_enhanced: bool = False,
    ) -> None: ...

class ChatCompletionChunk(BaseModel):
    """Streaming chat completion chunk."""

    id: str
    object: str
    created: int
    model: str
    choices: List[Dict[str, Any]]
    def __init__(
        self, *, id: str, object: str = "chat.completion.chunk", created: int, model: str, choices: List[Dict[str, Any]]
    ) -> None: ...

class ModelInfo(BaseModel):
    """Available model information."""

    id: str
    name: str
    description: Optional[str]
    context_length: int
    supports_streaming: bool
    supports_functions: bool
    supports_vision: bool
    input_cost_per_1k: float
    output_cost_per_1k: float
    is_custom: bool
    base_model: Optional[str]
    def __init__(
        self,
        *,
        id: str,
        name: str,
        description: Optional[str] = None,
        context_length: int = 4096,
        supports_streaming: bool = True,
        supports_functions: bool = False,
        supports_vision: bool = False,
        input_cost_per_1k: float = 0.0,
        output_cost_per_1k: float = 0.0,
        is_custom: bool = False,
        base_model: Optional[str] = None,
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
    scores: List[float]
    latency_ms: float
    quantum_enhanced: bool
    def __init__(
        self,
        *,
        tier_used: str,
        candidates_evaluated: int,
        best_index: int,
        scores: List[float] = ...,
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
    updated_at: Optional[datetime]
    monthly_tokens_limit: Optional[int]
    monthly_tokens_used: int
    monthly_requests_limit: Optional[int]
    monthly_requests_used: int
    features: List[str]
    metadata: Dict[str, Any]
    def __init__(
        self,
        *,
        id: str,
        name: str,
        slug: str,
        plan: str = "free",
        is_active: bool = True,
        created_at: Union[datetime, str, int, float],
        updated_at: Optional[Union[datetime, str, int, float]] = None,
        monthly_tokens_limit: Optional[int] = None,
        monthly_tokens_used: int = 0,
        monthly_requests_limit: Optional[int] = None,
        monthly_requests_used: int = 0,
        features: List[str] = ...,
        metadata: Dict[str, Any] = ...,
    ) -> None: ...

class TenantCreate(BaseModel):
    """Request to create a tenant."""

    name: str
    slug: Optional[str]
    plan: str
    metadata: Dict[str, Any]
    def __init__(
        self, *, name: str, slug: Optional[str] = None, plan: str = "free", metadata: Dict[str, Any] = ...
    ) -> None: ...

class TenantUpdate(BaseModel):
    """Request to update a tenant."""

    name: Optional[str]
    plan: Optional[str]
    is_active: Optional[bool]
    metadata: Optional[Dict[str, Any]]
    def __init__(
        self,
        *,
        name: Optional[str] = None,
        plan: Optional[str] = None,
        is_active: Optional[bool] = None,
        metadata: Optional[Dict[str, Any]] = None,
    ) -> None: ...

class Feedback(BaseModel):
    """User feedback on a response."""

    id: str
    tenant_id: str
    request_id: str
    rating: int
    comment: Optional[str]
    tags: List[str]
    created_at: datetime
    prompt: Optional[str]
    response: Optional[str]
    model: Optional[str]
    def __init__(
        self,
        *,
        id: str,
        tenant_id: str,
        request_id: str,
        rating: int,
        comment: Optional[str] = None,
        tags: List[str] = ...,
        created_at: Union[datetime, str, int, float],
        prompt: Optional[str] = None,
        response: Optional[str] = None,
        model: Optional[str] = None,
    ) -> None: ...

class FeedbackCreate(BaseModel):
    """Request to create feedback."""

    request_id: str
    rating: int
    comment: Optional[str]
    tags: List[str]
    prompt: Optional[str]
    response: Optional[str]
    def __init__(
        self,
        *,
        request_id: str,
        rating: int,
        comment: Optional[str] = None,
        tags: List[str] = ...,
        prompt: Optional[str] = None,
        response: Optional[str] = None,
    ) -> None: ...

class FeedbackStats(BaseModel):
    """Feedback statistics."""

    total_count: int
    positive_count: int
    negative_count: int
    neutral_count: int
    positive_rate: float
    tags_distribution: Dict[str, int]
    def __init__(
        self,
        *,
        total_count: int,
        positive_count: int,
        negative_count: int,
        neutral_count: int,
        positive_rate: float,
        tags_distribution: Dict[str, int] = ...,
    ) -> None: ...

class TrainingJob(BaseModel):
    """Training job information."""

    id: str
    tenant_id: str
    status: str
    training_type: str
    base_model: str
    config: Dict[str, Any]
    progress: float
    current_step: int
    total_steps: int
    current_epoch: int
    total_epochs: int
    metrics: Dict[str, Any]
    created_at: datetime
    started_at: Optional[datetime]
    completed_at: Optional[datetime]
    output_model_id: Optional[str]
    error_message: Optional[str]
    def __init__(
        self,
        *,
        id: str,
        tenant_id: str,
        status: str,
        training_type: str,
        base_model: str,
        config: Dict[str, Any] = ...,
        progress: float = 0.0,
        current_step: int = 0,
        total_steps: int = 0,
        current_epoch: int = 0,
        total_epochs: int = 0,
        metrics: Dict[str, Any] = ...,
        created_at: Union[datetime, str, int, float],
        started_at: Optional[Union[datetime, str, int, float]] = None,
        completed_at: Optional[Union[datetime, str, int, float]] = None,
        output_model_id: Optional[str] = None,
        error_message: Optional[str] = None,
    ) -> None: ...

class TrainingJobCreate(BaseModel):
    """Request to create a training job."""

    training_type: str
    base_model: str
    dataset_id: Optional[str]
    config: Dict[str, Any]
    num_gpus: int
    priority: str
    def __init__(
        self,
        *,
        training_type: str,
        base_model: str = "meta-llama/Llama-3.1-8B-Instruct",
        dataset_id: Optional[str] = None,
        config: Dict[str, Any] = ...,
        num_gpus: int = 8,
        priority: str = "normal",
    ) -> None: ...

class TrainingJobCancel(BaseModel):
    """Request to cancel a training job."""

    reason: Optional[str]
    def __init__(self, *, reason: Optional[str] = None) -> None: ...

class Dataset(BaseModel):
    """Training dataset."""

    id: str
    tenant_id: str
    name: str
    description: Optional[str]
    num_examples: int
    size_bytes: int
    dataset_type: str
    status: str
    created_at: datetime
    updated_at: Optional[datetime]
    def __init__(
        self,
        *,
        id: str,
        tenant_id: str,
        name: str,
        description: Optional[str] = None,
        num_examples: int = 0,
        size_bytes: int = 0,
        dataset_type: str,
        status: str = "ready",
        created_at: Union[datetime, str, int, float],
        updated_at: Optional[Union[datetime, str, int, float]] = None,
    ) -> None: ...

class DatasetCreate(BaseModel):
    """Request to create a dataset."""

    name: str
    description: Optional[str]
    dataset_type: str
    def __init__(self, *, name: str, description: Optional[str] = None, dataset_type: str = "sft") -> None: ...

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
