"""Records read straight from JSON text agree with the general path (decode to dicts, then validate)
for any text: the same record, or the same problems."""

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from korvane_sdk import models
from korvane_sdk.models import ValidationError

# A trivial subclass takes the general path; the class of the table itself reads directly.
GENERAL = {
    name: type(name, (getattr(models, name),), {})
    for name in ("ChatCompletion", "ChatCompletionChunk", "Tenant", "TrainingJob", "FeedbackStats")
}

SAMPLES = {
    "ChatCompletion": {
        "id": "c",
        "object": "chat.completion",
        "created": 1,
        "model": "m",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": "hi"}, "finish_reason": "stop"}],
        "usage": {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3},
        "rerank_tier": None,
        "quantum_enhanced": False,
    },
    "ChatCompletionChunk": {
        "id": "k",
        "created": 2,
        "model": "m",
        "choices": [{"index": 0, "delta": {"content": "x"}, "finish_reason": None}],
    },
    "Tenant": {
        "id": "t",
        "name": "n",
        "slug": "s",
        "created_at": "2025-03-01T00:00:00Z",
        "features": ["a"],
        "metadata": {"k": [1, {"z": None}]},
    },
    "TrainingJob": {
        "id": "j",
        "tenant_id": "t",
        "status": "running",
        "training_type": "sft",
        "base_model": "b",
        "progress": 0.5,
        "created_at": 1700000000,
        "hyperparameters": {"lr": 0.1},
    },
    "FeedbackStats": {
        "total_count": 3,
        "positive_count": 1,
        "negative_count": 1,
        "neutral_count": 1,
        "positive_rate": 0.33,
        "tags_distribution": {"a": 2, "b": "3"},
    },
}

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(max_size=8),
    st.sampled_from(["5", "5.0", "yes", "2025-03-01T00:00:00+01:00", "", "x" * 70]),
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=8,
)


def text_of(pairs, escape):
    """An object's JSON text from (key, value-text) pairs, keys written with \\u escapes when asked."""

    def key(k):
        return '"%s"' % "".join("\\u%04x" % ord(c) for c in k) if escape else json.dumps(k)

    return "{" + ",".join("%s:%s" % (key(k), v) for k, v in pairs) + "}"


@st.composite
def documents(draw):
    name = draw(st.sampled_from(sorted(SAMPLES)))
    sample = SAMPLES[name]
    pairs = [(k, json.dumps(v)) for k, v in sample.items() if draw(st.integers(0, 9)) > 0]
    for _ in range(draw(st.integers(0, 3))):  # replaced, added, repeated or unknown members
        key = draw(st.sampled_from([*sample, "unknown"]))
        pairs.insert(draw(st.integers(0, len(pairs))), (key, json.dumps(draw(values))))
    if name == "ChatCompletion" and draw(st.booleans()):  # a nested record of the wrong shape
        pairs.append(("usage", json.dumps(draw(values))))
    text = text_of(pairs, escape=draw(st.integers(0, 5)) == 0)
    if draw(st.integers(0, 9)) == 0:
        cut = draw(st.integers(0, len(text)))
        text = text[:cut] + draw(st.sampled_from(["", "x", "}", ",", " [1]"])) + text[cut:]
    return name, text


def outcome(cls, text):
    try:
        return "record", cls.model_validate_json(text).model_dump()
    except ValidationError as error:
        return "errors", error.errors()


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(documents())
def test_direct_reading_agrees_with_the_general_path(document):
    name, text = document
    direct = outcome(getattr(models, name), text)
    assert direct == outcome(GENERAL[name], text)
    if direct[0] == "record":
        assert type(getattr(models, name).model_validate_json(text)) is getattr(models, name)


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_samples_read_directly_into_nested_records(name):
    record = getattr(models, name).model_validate_json(json.dumps(SAMPLES[name]))
    assert record.model_dump() == GENERAL[name].model_validate_json(json.dumps(SAMPLES[name])).model_dump()
    if name == "ChatCompletion":
        assert type(record.usage) is models.ChatCompletionUsage
        assert type(record.choices[0].message) is models.ChatMessage


def test_shared_repeated_values_stay_independent():
    first, second = (models.Tenant.model_validate_json(json.dumps(SAMPLES["Tenant"])) for _ in range(2))
    first.features.append("b")
    first.metadata["k"].append(2)
    assert second.features == ["a"] and second.metadata == {"k": [1, {"z": None}]}


# Literals where a reader could quietly differ from the interpreter's json module: signed zeros,
# the edges of 64-bit integers and of doubles, long mantissas, escapes of surrogates and NUL,
# repeated keys. Compared by repr, so 0.0 against -0.0 or 1 against 1.0 counts as a difference.
EDGE_LITERALS = [
    "-0",
    "-0.0",
    "0e0",
    "1E+2",
    "1e400",
    "-1e400",
    "1e-400",
    "9223372036854775807",
    "9223372036854775808",
    "-9223372036854775808",
    "-9223372036854775809",
    "18446744073709551615",
    "18446744073709551616",
    "123456789012345678901234567890",
    "0.1000000000000000055511151231257827",
    "-0.1000000000000000055511151231257827",
    "2.2250738585072011e-308",
    "4.9406564584124654e-324",
    "1.7976931348623157e308",
    "1.7976931348623159e308",
    "NaN",
    "-Infinity",
    '"\\ud800"',
    '"x\\udc00"',
    '"\\ud83d\\ude00"',
    '"a\\u0000b"',
    '"\\/\\b"',
    '"\u00e9\u4e2d"',
    '{"\\ud800": 1}',
    '{"a\\u0000b": 1, "a": 2}',
    '{"k": 1, "k": [2]}',
    "[[[[[[[[[[[[1]]]]]]]]]]]]",
]


@pytest.mark.parametrize("literal", EDGE_LITERALS)
@pytest.mark.parametrize(
    "name, member",
    [("TrainingJob", "config"), ("TrainingJob", "progress"), ("FeedbackStats", "total_count"), ("Tenant", "metadata")],
)
def test_edge_literals_read_alike(name, member, literal):
    sample = dict(SAMPLES[name])
    sample.pop(member, None)
    place = '{"v": %s}' % literal if member in ("config", "metadata") else literal
    text = json.dumps(sample)[:-1] + ', "%s": %s}' % (member, place)
    assert repr(outcome(getattr(models, name), text)) == repr(outcome(GENERAL[name], text))
