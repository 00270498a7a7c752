"""Lax conversions: what each field type accepts, what it turns the input into, and what it refuses."""

import enum
import math

import pytest
from korvane_sdk.models import (
    ChatCompletionChoice,
    ChatMessage,
    FeedbackStats,
    ModelInfo,
    RerankResult,
    Tenant,
    ValidationError,
)

MODEL = {"id": "m1", "name": "Model"}
TENANT = {"id": "t1", "name": "Acme", "slug": "acme", "created_at": "2024-01-15T10:30:00Z"}


class Text(str):
    pass


class Color(str, enum.Enum):
    RED = "red"


class Count(int):
    pass


def build(record, base, field, value):
    return getattr(record(**{**base, field: value}), field)


@pytest.mark.parametrize(
    "field, given, expected",
    [
        ("context_length", 3, 3),
        ("context_length", 3.0, 3),
        ("context_length", "3", 3),
        ("context_length", " 3\n", 3),
        ("context_length", "3.00", 3),
        ("context_length", "+7", 7),
        ("context_length", "-2", -2),
        ("context_length", True, 1),
        ("context_length", Count(5), 5),
        ("context_length", 10**30, 10**30),
        ("context_length", "123456789012345678901234567890", 123456789012345678901234567890),
        ("input_cost_per_1k", 3, 3.0),
        ("input_cost_per_1k", "3", 3.0),
        ("input_cost_per_1k", " 2.5 ", 2.5),
        ("input_cost_per_1k", "1e3", 1000.0),
        ("input_cost_per_1k", True, 1.0),
        ("input_cost_per_1k", 0.25, 0.25),
        ("supports_vision", True, True),
        ("supports_vision", 1, True),
        ("supports_vision", 0, False),
        ("supports_vision", 1.0, True),
        ("supports_vision", 0.0, False),
        *[("supports_vision", word, True) for word in ("true", "True", "TRUE", "yes", "on", "y", "t", "1")],
        *[("supports_vision", word, False) for word in ("false", "False", "no", "off", "n", "f", "0")],
        ("name", "text", "text"),
        ("name", "", ""),
        ("name", Text("sub"), "sub"),
        ("name", Color.RED, "red"),
        ("description", None, None),
        ("base_model", "llama", "llama"),
    ],
)
def test_scalar_fields_take_exact_values_and_their_usual_spellings(field, given, expected):
    value = build(ModelInfo, MODEL, field, given)
    assert value == expected
    assert type(value) is type(expected)


def test_special_float_texts_are_numbers():
    assert math.isinf(build(ModelInfo, MODEL, "input_cost_per_1k", "inf"))
    assert math.isnan(build(ModelInfo, MODEL, "input_cost_per_1k", "nan"))


@pytest.mark.parametrize(
    "field, given, error_type",
    [
        ("context_length", 3.5, "int_from_float"),
        ("context_length", "3.5", "int_parsing"),
        ("context_length", "abc", "int_parsing"),
        ("context_length", "", "int_parsing"),
        ("context_length", "1.", "int_parsing"),
        ("context_length", "1e3", "int_parsing"),
        ("context_length", "5" * 5000, "int_parsing_size"),
        ("context_length", float("nan"), "finite_number"),
        ("context_length", float("inf"), "finite_number"),
        ("context_length", None, "int_type"),
        ("context_length", [1], "int_type"),
        ("context_length", bytearray(b"3"), "int_type"),
        ("input_cost_per_1k", "abc", "float_parsing"),
        ("input_cost_per_1k", "", "float_parsing"),
        ("input_cost_per_1k", None, "float_type"),
        ("input_cost_per_1k", [1.0], "float_type"),
        ("input_cost_per_1k", 10**400, "float_type"),
        ("supports_vision", 2, "bool_parsing"),
        ("supports_vision", 0.5, "bool_type"),
        ("supports_vision", "maybe", "bool_parsing"),
        ("supports_vision", " true", "bool_parsing"),
        ("supports_vision", None, "bool_type"),
        ("supports_vision", [], "bool_type"),
        ("name", 1, "string_type"),
        ("name", 1.5, "string_type"),
        ("name", b"\xff", "string_unicode"),
        ("name", None, "string_type"),
        ("name", ["a"], "string_type"),
    ],
)
def test_values_that_do_not_fit_are_refused(field, given, error_type):
    with pytest.raises(ValidationError) as info:
        ModelInfo(**{**MODEL, field: given})
    (error,) = info.value.errors()
    assert (error["type"], error["loc"], error["input"]) == (error_type, (field,), given)


@pytest.mark.parametrize(
    "given, expected",
    [
        ([1, "2", 3.5], [1.0, 2.0, 3.5]),
        ((1, 2), [1.0, 2.0]),
        ([], []),
        ({4.0}, [4.0]),
    ],
)
def test_lists_are_converted_element_by_element_into_a_new_list(given, expected):
    scores = build(
        RerankResult,
        {"tier_used": "fast", "candidates_evaluated": 3, "best_index": 0, "latency_ms": 1},
        "scores",
        given,
    )
    assert scores == expected and type(scores) is list and scores is not given


def test_each_bad_list_element_is_reported_with_its_index():
    with pytest.raises(ValidationError) as info:
        Tenant(**TENANT, features=["ok", 1, "fine", None])
    assert [(e["loc"], e["type"]) for e in info.value.errors()] == [
        (("features", 1), "string_type"),
        (("features", 3), "string_type"),
    ]


@pytest.mark.parametrize("given", ["abc", {"a": 1}, 5])
def test_a_list_field_refuses_other_values(given):
    with pytest.raises(ValidationError) as info:
        Tenant(**TENANT, features=given)
    assert info.value.errors()[0]["type"] == "list_type"


def test_int_mappings_are_converted_value_by_value():
    stats = {"total_count": 3, "positive_count": 1, "negative_count": 1, "neutral_count": 1, "positive_rate": 0.3}
    assert FeedbackStats(**stats, tags_distribution={"a": "1", "b": 2.0}).tags_distribution == {"a": 1, "b": 2}
    with pytest.raises(ValidationError) as info:
        FeedbackStats(**stats, tags_distribution={"a": "x", "b": 1, 3: 4})
    assert [(e["loc"], e["type"]) for e in info.value.errors()] == [
        (("tags_distribution", "a"), "int_parsing"),
        (("tags_distribution", 3, "[key]"), "string_type"),
    ]


def test_free_mappings_take_any_values_in_a_shallow_copy():
    nested = {"deep": [1, {"x": None}]}
    metadata = {"a": nested, "b": None}
    tenant = Tenant(**TENANT, metadata=metadata)
    assert tenant.metadata == metadata and tenant.metadata is not metadata
    assert tenant.metadata["a"] is nested
    for bad in ([("a", 1)], "text", 3):
        with pytest.raises(ValidationError) as info:
            Tenant(**TENANT, metadata=bad)
        assert info.value.errors()[0]["type"] == "dict_type"


def test_mappings_that_are_not_dicts_are_accepted_for_records_and_mapping_fields():
    from types import MappingProxyType

    tenant = Tenant.model_validate(MappingProxyType({**TENANT, "metadata": MappingProxyType({"k": 1})}))
    assert tenant.metadata == {"k": 1} and type(tenant.metadata) is dict


@pytest.mark.parametrize(
    "message",
    [
        {"role": "assistant", "content": "Hi"},
        ChatMessage(role="assistant", content="Hi"),
    ],
)
def test_nested_records_come_from_a_record_or_a_mapping(message):
    choice = ChatCompletionChoice(index=0, message=message)
    assert type(choice.message) is ChatMessage
    assert choice.message == ChatMessage(role="assistant", content="Hi")
    if isinstance(message, ChatMessage):
        assert choice.message is message


@pytest.mark.parametrize("message", ["Hi", ["role", "user"], None, Tenant(**TENANT)])
def test_nested_records_refuse_other_values(message):
    with pytest.raises(ValidationError) as info:
        ChatCompletionChoice(index=0, message=message)
    (error,) = info.value.errors()
    assert error["type"] == "model_type"
    assert error["msg"] == "Input should be a valid dictionary or instance of ChatMessage"
    assert error["ctx"] == {"class_name": "ChatMessage"}


def test_members_that_are_not_fields_are_dropped():
    tenant = Tenant(**TENANT, unknown=1, **{"also-unknown": [1]})
    assert not hasattr(tenant, "unknown")
    assert "unknown" not in tenant.model_dump()
