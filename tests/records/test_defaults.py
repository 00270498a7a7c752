"""Defaults, required fields and the edge cases the records are specified with."""

import pytest
from korvane_sdk.models import (
    ChatCompletion,
    ChatCompletionChoice,
    ChatCompletionChunk,
    ChatCompletionUsage,
    ChatMessage,
    Dataset,
    DatasetCreate,
    Feedback,
    FeedbackCreate,
    FeedbackStats,
    ModelInfo,
    RerankResult,
    Tenant,
    TenantCreate,
    TenantUpdate,
    TrainingJob,
    TrainingJobCancel,
    TrainingJobCreate,
    ValidationError,
)

TENANT = {"id": "t1", "name": "Acme", "slug": "acme", "created_at": "2024-01-15T10:30:00Z"}
JOB = {
    "id": "j1",
    "tenant_id": "t1",
    "status": "running",
    "training_type": "sft",
    "base_model": "llama",
    "created_at": "2024-01-15T10:30:00Z",
}
RERANK = {"tier_used": "fast", "candidates_evaluated": 3, "best_index": 0, "latency_ms": 1.5}
STATS = {"total_count": 3, "positive_count": 1, "negative_count": 1, "neutral_count": 1, "positive_rate": 0.33}
FEEDBACK = {"id": "f1", "tenant_id": "t1", "request_id": "r1", "rating": 1, "created_at": 0}
DATASET = {"id": "d1", "tenant_id": "t1", "name": "n", "dataset_type": "sft", "created_at": 0}


@pytest.mark.parametrize(
    "record, given, expected",
    [
        (ChatMessage, {"role": "user", "content": "Hi"}, {"role": "user", "content": "Hi", "name": None}),
        (ChatMessage, {"role": "anything", "content": ""}, {"role": "anything", "content": "", "name": None}),
        (
            ModelInfo,
            {"id": "m", "name": "M"},
            {
                "id": "m",
                "name": "M",
                "description": None,
                "context_length": 4096,
                "supports_streaming": True,
                "supports_functions": False,
                "supports_vision": False,
                "input_cost_per_1k": 0.0,
                "output_cost_per_1k": 0.0,
                "is_custom": False,
                "base_model": None,
            },
        ),
        (
            ChatCompletion,
            {"id": "c", "created": 1, "model": "m", "choices": []},
            {
                "id": "c",
                "object": "chat.completion",
                "created": 1,
                "model": "m",
                "choices": [],
                "usage": None,
                "rerank_tier": None,
                "quantum_enhanced": False,
            },
        ),
        (
            ChatCompletionChunk,
            {"id": "c", "created": 1, "model": "m", "choices": []},
            {"id": "c", "object": "chat.completion.chunk", "created": 1, "model": "m", "choices": []},
        ),
        (
            RerankResult,
            RERANK,
            {
                "tier_used": "fast",
                "candidates_evaluated": 3,
                "best_index": 0,
                "scores": [],
                "latency_ms": 1.5,
                "quantum_enhanced": False,
            },
        ),
        (
            ChatCompletionUsage,
            {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3, "cached": 9},
            {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3},
        ),
        (FeedbackStats, STATS, {**STATS, "tags_distribution": {}}),
        (TrainingJobCancel, {}, {"reason": None}),
    ],
)
def test_dump_of_a_record_built_with_few_members(record, given, expected):
    dumped = record(**given).model_dump()
    assert dumped == expected
    assert list(dumped) == list(expected)  # declaration order


@pytest.mark.parametrize(
    "record, given, expected",
    [
        (
            TrainingJobCreate,
            {"training_type": "sft"},
            {
                "training_type": "sft",
                "base_model": "meta-llama/Llama-3.1-8B-Instruct",
                "config": {},
                "num_gpus": 8,
                "priority": "normal",
            },
        ),
        (TenantCreate, {"name": "Acme"}, {"name": "Acme", "plan": "free", "metadata": {}}),
        (TenantUpdate, {}, {}),
        (TenantUpdate, {"is_active": False}, {"is_active": False}),
        (FeedbackCreate, {"request_id": "r", "rating": 1}, {"request_id": "r", "rating": 1, "tags": []}),
        (DatasetCreate, {"name": "set"}, {"name": "set", "dataset_type": "sft"}),
        (TrainingJobCancel, {}, {}),
    ],
)
def test_request_records_dump_without_null_fields(record, given, expected):
    dumped = record(**given).model_dump(exclude_none=True)
    assert dumped == expected and list(dumped) == list(expected)


@pytest.mark.parametrize(
    "record, base, field, good, bad",
    [
        (TrainingJobCreate, {"training_type": "sft"}, "num_gpus", [1, 64], [0, 65]),
        (TenantCreate, {}, "name", ["x", "x" * 255], ["", "x" * 256]),
        (DatasetCreate, {}, "name", ["x", "x" * 255], ["", "x" * 256]),
        (FeedbackCreate, {"request_id": "r"}, "rating", [-1, 0, 1], [-2, 2]),
        (Feedback, {k: v for k, v in FEEDBACK.items() if k != "rating"}, "rating", [-1, 0, 1], [-2, 2]),
    ],
)
def test_bounds_are_inclusive(record, base, field, good, bad):
    for value in good:
        assert getattr(record(**base, **{field: value}), field) == value
    for value in bad:
        with pytest.raises(ValidationError) as info:
            record(**base, **{field: value})
        assert info.value.errors()[0]["loc"] == (field,)


@pytest.mark.parametrize(
    "record, given, field",
    [
        (ChatMessage, {"role": "user", "content": None}, "content"),
        (ChatCompletionUsage, {"prompt_tokens": 1, "completion_tokens": 2}, "total_tokens"),
        (Tenant, {k: v for k, v in TENANT.items() if k != "created_at"}, "created_at"),
        (Tenant, {**TENANT, "features": None}, "features"),
        (Tenant, {**TENANT, "metadata": None}, "metadata"),
        (Tenant, {**TENANT, "plan": None}, "plan"),
        (TrainingJobCreate, {"training_type": "sft", "num_gpus": None}, "num_gpus"),
        (ChatCompletion, {"id": None, "created": 1, "model": "m", "choices": []}, "id"),
        (ChatCompletionChunk, {"id": "c", "created": "soon", "model": "m", "choices": []}, "created"),
    ],
)
def test_missing_and_null_values_fail_even_where_a_default_exists(record, given, field):
    with pytest.raises(ValidationError) as info:
        record(**given)
    assert [e["loc"] for e in info.value.errors()] == [(field,)]


def test_tenant_answer_without_optional_members():
    tenant = Tenant(**TENANT)
    assert (tenant.plan, tenant.is_active, tenant.features, tenant.metadata) == ("free", True, [], {})
    assert (tenant.monthly_tokens_used, tenant.monthly_requests_used) == (0, 0)
    assert tenant.monthly_tokens_limit is None and tenant.updated_at is None


@pytest.mark.parametrize(
    "record, given, field",
    [
        (RerankResult, RERANK, "scores"),
        (TrainingJob, JOB, "config"),
        (TrainingJob, JOB, "metrics"),
        (Tenant, TENANT, "features"),
        (Tenant, TENANT, "metadata"),
        (TenantCreate, {"name": "x"}, "metadata"),
        (FeedbackCreate, {"request_id": "r", "rating": 0}, "tags"),
        (FeedbackStats, STATS, "tags_distribution"),
        (TrainingJobCreate, {"training_type": "sft"}, "config"),
        (Feedback, FEEDBACK, "tags"),
    ],
)
def test_list_and_mapping_defaults_are_fresh_per_record(record, given, field):
    first, second = record(**given), record(**given)
    value = getattr(first, field)
    if isinstance(value, list):
        value.append(1)
    else:
        value["k"] = 1
    assert getattr(second, field) in ([], {})
    assert getattr(record(**given), field) in ([], {})


def test_chunk_choices_stay_raw_json_objects():
    choice = {"index": 0, "delta": {"content": "He", "tool_calls": [{"id": "x"}]}, "finish_reason": None, "extra": 1}
    chunk = ChatCompletionChunk(id="c", created=1, model="m", choices=[choice])
    assert chunk.choices == [choice] and type(chunk.choices[0]) is dict


def test_choice_with_a_mapping_message_holds_a_chat_message():
    choice = ChatCompletionChoice(index=0, message={"role": "assistant", "content": "Hi", "extra": 1})
    assert choice.message == ChatMessage(role="assistant", content="Hi")
    assert choice.finish_reason is None


def test_answer_records_ignore_extra_members():
    job = TrainingJob(**JOB, gpu_hours=3.5, owner={"x": 1})
    assert job.model_dump()["status"] == "running" and "gpu_hours" not in job.model_dump()
    assert Dataset(**DATASET, shards=4).status == "ready"


def test_roles_statuses_and_priorities_are_not_restricted():
    assert ChatMessage(role="tool", content="x").role == "tool"
    assert TrainingJob(**{**JOB, "status": "paused", "training_type": "ppo"}).status == "paused"
    assert TrainingJobCreate(training_type="anything", priority="urgent").priority == "urgent"


def test_usage_does_not_compute_the_total():
    assert ChatCompletionUsage(prompt_tokens=1, completion_tokens=2, total_tokens=99).total_tokens == 99
