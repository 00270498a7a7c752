"""Types of the plain values the SDK hands back: decoded JSON, stream deltas, usage and metrics.

They describe the dicts the calls return (the values stay plain dicts); import them to annotate
your own code. The platform may add members, so read optional ones with ``.get()``.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import TypeAlias, TypedDict

__all__ = [
    "JSON",
    "ChunkDelta",
    "ChunkChoice",
    "TenantUsage",
    "TrainingMetrics",
    "TrainingStep",
    "JobMetrics",
    "ClientOptions",
]

#: A decoded JSON value.
JSON: TypeAlias = "dict[str, JSON] | list[JSON] | str | int | float | bool | None"


class ChunkDelta(TypedDict, total=False):
    """What one streamed chunk adds to a choice's message."""

    role: str
    content: str


class ChunkChoice(TypedDict):
    """One choice of a streamed chunk (``chunk.choices[i]``)."""

    index: int
    delta: ChunkDelta
    finish_reason: str | None


class TenantUsage(TypedDict):
    """``tenants.get_usage()``: the tenant's use this month; a limit of None is no limit."""

    tenant_id: str
    period: str
    plan: str
    monthly_tokens_used: int
    monthly_tokens_limit: int | None
    tokens_remaining: int | None
    monthly_requests_used: int
    monthly_requests_limit: int | None
    requests_remaining: int | None
    feedback_count: int
    training_jobs: int
    datasets: int


class TrainingMetrics(TypedDict, total=False):
    """The latest figures of a job (empty before it starts); eval_loss once it completed."""

    loss: float
    learning_rate: float
    epoch: float
    step: int
    grad_norm: float
    tokens_per_second: float
    eval_loss: float


class TrainingStep(TypedDict):
    """One point of a job's loss history."""

    step: int
    loss: float
    learning_rate: float


class JobMetrics(TypedDict):
    """``training.get_metrics()``: a job's progress and figures."""

    job_id: str
    status: str
    progress: float
    current_step: int
    total_steps: int
    metrics: TrainingMetrics
    history: list[TrainingStep]


class ClientOptions(TypedDict, total=False):
    """The settings a client takes by name (``KorvaneClient(**options)``), each optional."""

    api_key: str | Callable[[], str] | None
    api_url: str | None
    proxy_url: str | None
    timeout: float | None
    max_retries: int
    verify_ssl: bool
    retry_on_busy: bool
    backoff_base: float
    backoff_max: float
    retry_after_max: float
    hooks: Mapping[str, Sequence[Callable[..., object]]] | None
    default_headers: Mapping[str, str] | None
    default_query: Mapping[str, str | int | float] | None
