"""model_dump and model_dump_json: order, nesting, exclude_none, JSON mode, independence, depth."""

import json
from datetime import datetime, timezone

import pytest
from korvane_sdk.models import ChatCompletion, ChatMessage, RerankResult, Tenant, TenantUpdate

ANSWER = {
    "id": "c1",
    "created": 1,
    "model": "m",
    "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hi"}}],
}
TENANT = {"id": "t1", "name": "Acme", "slug": "acme", "created_at": "2024-01-15T10:30:00Z"}


def test_nested_records_become_mappings():
    dumped = ChatCompletion(
        **ANSWER, usage={"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2}
    ).model_dump()
    assert dumped["choices"] == [
        {"index": 0, "message": {"role": "assistant", "content": "Hi", "name": None}, "finish_reason": None}
    ]
    assert dumped["usage"] == {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2}
    assert type(dumped["choices"][0]["message"]) is dict


def test_exclude_none_reaches_nested_records_but_not_free_mappings():
    completion = ChatCompletion(**ANSWER)
    assert completion.model_dump(exclude_none=True) == {
        "id": "c1",
        "object": "chat.completion",
        "created": 1,
        "model": "m",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hi"}}],
        "quantum_enhanced": False,
    }
    tenant = Tenant(**TENANT, metadata={"note": None, "deep": {"x": None}})
    assert tenant.model_dump(exclude_none=True)["metadata"] == {"note": None, "deep": {"x": None}}


def test_empty_values_other_than_none_stay():
    update = TenantUpdate(name="", is_active=False, metadata={})
    assert update.model_dump(exclude_none=True) == {"name": "", "is_active": False, "metadata": {}}


def test_declaration_order_even_when_a_default_sits_between_required_fields():
    result = RerankResult(latency_ms=2, best_index=1, candidates_evaluated=4, tier_used="fast", scores=[0.5])
    assert list(result.model_dump()) == [
        "tier_used",
        "candidates_evaluated",
        "best_index",
        "scores",
        "latency_ms",
        "quantum_enhanced",
    ]


def test_dumps_are_independent_of_the_record():
    tenant = Tenant(**TENANT, features=["a"], metadata={"deep": {"list": [1]}})
    dumped = tenant.model_dump()
    dumped["features"].append("b")
    dumped["metadata"]["deep"]["list"].append(2)
    assert tenant.features == ["a"] and tenant.metadata == {"deep": {"list": [1]}}


def test_python_mode_keeps_python_values():
    created = datetime(2024, 1, 15, 10, 30, tzinfo=timezone.utc)
    dumped = Tenant(**TENANT, metadata={"t": (1, 2), "when": created}).model_dump()
    assert dumped["created_at"] == created
    assert dumped["metadata"] == {"t": (1, 2), "when": created}


def test_json_mode_gives_json_types_only():
    when = datetime(2024, 1, 15, 10, 30, tzinfo=timezone.utc)
    message = ChatMessage(role="user", content="x")
    tenant = Tenant(
        **TENANT, metadata={"t": (1, 2), "s": {3}, "when": when, "inf": float("inf"), "b": b"raw", "message": message}
    )
    tenant.metadata[1] = "numeric key"  # assigned by hand: construction accepts text keys only
    dumped = tenant.model_dump(mode="json")
    assert dumped["created_at"] == "2024-01-15T10:30:00Z"
    assert dumped["metadata"] == {
        "t": [1, 2],
        "s": [3],
        "when": "2024-01-15T10:30:00Z",
        "inf": None,
        "b": "raw",
        "message": {"role": "user", "content": "x", "name": None},
        "1": "numeric key",
    }
    assert json.loads(json.dumps(dumped)) == dumped


def test_json_text_matches_the_json_mode_dump():
    tenant = Tenant(**TENANT, features=["é"], metadata={"k": [1, None]})
    text = tenant.model_dump_json()
    assert json.loads(text) == tenant.model_dump(mode="json")
    assert text.startswith('{"id":"t1","name":"Acme"')
    assert "é" in text
    assert tenant.model_dump_json(indent=2).startswith('{\n  "id": "t1"')
    assert "updated_at" not in tenant.model_dump_json(exclude_none=True)


def test_values_json_cannot_carry_are_a_type_error():
    tenant = Tenant(**TENANT, metadata={"x": object()})
    assert tenant.model_dump()["metadata"]["x"] is tenant.metadata["x"]
    with pytest.raises(TypeError, match="Unable to serialize unknown type"):
        tenant.model_dump(mode="json")
    with pytest.raises(TypeError):
        tenant.model_dump_json()


def test_values_assigned_by_hand_are_dumped_as_they_are():
    message = ChatMessage(role="user", content="x")
    message.content = {"parts": ["a"]}
    assert message.model_dump()["content"] == {"parts": ["a"]}
    tenant = Tenant(**TENANT)
    tenant.created_at = "yesterday"
    assert tenant.model_dump(mode="json")["created_at"] == "yesterday"


def deep_mapping(depth):
    root = node = {}
    for _ in range(depth):
        node["a"] = {}
        node = node["a"]
    return root


def cyclic_list():
    items = []
    items.append(items)
    return items


@pytest.mark.parametrize("metadata", [deep_mapping(100_000), {"loop": cyclic_list()}])
@pytest.mark.parametrize(
    "dump", [lambda r: r.model_dump(), lambda r: r.model_dump(mode="json"), lambda r: r.model_dump_json()]
)
def test_deep_or_cyclic_free_values_raise_recursion_error(metadata, dump):
    tenant = Tenant(**TENANT, metadata=metadata)
    with pytest.raises(RecursionError):
        dump(tenant)


def test_a_record_inside_itself_raises_recursion_error():
    tenant = Tenant(**TENANT)
    tenant.metadata = {"self": tenant}
    with pytest.raises(RecursionError):
        tenant.model_dump()
    assert repr(tenant).endswith("metadata={'self': Tenant(...)})")


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"mode": "yaml"}, ValueError),
        ({"mode": None}, ValueError),
        ({"exclude_unset": True}, TypeError),
        ({"include": {"id"}}, TypeError),
    ],
)
def test_unsupported_dump_options_are_refused(kwargs, error):
    with pytest.raises(error):
        ChatMessage(role="user", content="x").model_dump(**kwargs)


def test_positional_dump_arguments_are_refused():
    with pytest.raises(TypeError):
        ChatMessage(role="user", content="x").model_dump(True)
