"""pydantic v2 twins of our records: the same fields, types and defaults, declared the pydantic way.

The record tests compare our conversions, errors, dumps and texts with these; the benchmarks
(bench/bench_records.py, bench/bench_admin.py) time the same work on them. Change a twin with its
record. Needs pydantic, which the tests and benchmarks install and the package never does.
"""

from __future__ import annotations

import datetime
from typing import Any

import pydantic


class ModelInfo(pydantic.BaseModel):
    id: str
    name: str
    description: str | None = None
    context_length: int = 4096
    supports_streaming: bool = True
    supports_functions: bool = False
    supports_vision: bool = False
    input_cost_per_1k: float = 0.0
    output_cost_per_1k: float = 0.0
    is_custom: bool = False
    base_model: str | None = None


class Tenant(pydantic.BaseModel):
    id: str
    name: str
    slug: str
    plan: str = "free"
    is_active: bool = True
    created_at: datetime.datetime
    updated_at: datetime.datetime | None = None
    monthly_tokens_limit: int | None = None
    monthly_tokens_used: int = 0
    monthly_requests_limit: int | None = None
    monthly_requests_used: int = 0
    features: list[str] = pydantic.Field(default_factory=list)
    metadata: dict[str, Any] = pydantic.Field(default_factory=dict)


class FeedbackStats(pydantic.BaseModel):
    total_count: int
    positive_count: int
    negative_count: int
    neutral_count: int
    positive_rate: float
    tags_distribution: dict[str, int] = pydantic.Field(default_factory=dict)


class ChatMessage(pydantic.BaseModel):
    role: str
    content: str
    name: str | None = None


class ChatCompletionChoice(pydantic.BaseModel):
    index: int
    message: ChatMessage
    finish_reason: str | None = None


class ChatCompletionUsage(pydantic.BaseModel):
    prompt_tokens: int
    completion_tokens: int
    total_tokens: int


class ChatCompletion(pydantic.BaseModel):
    id: str
    object: str = "chat.completion"
    created: int
    model: str
    choices: list[ChatCompletionChoice]
    usage: ChatCompletionUsage | None = None
    rerank_tier: str | None = None
    quantum_enhanced: bool = False


class ChatCompletionChunk(pydantic.BaseModel):
    id: str
    object: str = "chat.completion.chunk"
    created: int
    model: str
    choices: list[dict[str, Any]]
