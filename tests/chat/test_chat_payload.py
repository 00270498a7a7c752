"""The request body of create(): member order, the three presence rules, messages, extra arguments."""

import collections
import math

import korvane_sdk.models as models
import pytest
from chat_fakes import received_members
from korvane_sdk.exceptions import InvalidRequestError

BASE = [("model", "m"), ("messages", []), ("temperature", 0.7), ("stream", False), ("n", 1)]

PAYLOAD_CASES = [
    pytest.param({}, BASE, id="only-required"),
    pytest.param(
        {"temperature": None, "n": 3},
        [("model", "m"), ("messages", []), ("temperature", None), ("stream", False), ("n", 3)],
        id="null-temperature",
    ),
    pytest.param({"max_tokens": 0, "stop": []}, BASE + [("max_tokens", 0), ("stop", [])], id="null-test-keeps-falsy"),
    pytest.param({"max_tokens": None, "stop": None}, BASE, id="null-test-drops-null"),
    pytest.param({"presence_penalty": 0, "frequency_penalty": 0.0, "top_p": 1}, BASE, id="equal-ints-dropped"),
    pytest.param(
        {"presence_penalty": None, "top_p": 0.9, "frequency_penalty": -0.5},
        BASE + [("presence_penalty", None), ("frequency_penalty", -0.5), ("top_p", 0.9)],
        id="inequality-test",
    ),
    pytest.param({"rerank_tier": "", "rerank_k": 0, "tenant_id": ""}, BASE, id="falsy-dropped"),
    pytest.param(
        {"tenant_id": "t1", "rerank_k": 5, "rerank_tier": "quantum_gpu", "top_p": 0.5},
        BASE + [("top_p", 0.5), ("rerank_tier", "quantum_gpu"), ("rerank_k", 5), ("tenant_id", "t1")],
        id="truthy-after-penalties",
    ),
    pytest.param(
        {"zeta": 1, "alpha": {"x": [1]}, "tenant_id": "t"},
        BASE + [("tenant_id", "t"), ("zeta", 1), ("alpha", [("x", [1])])],
        id="extras-last-in-order",
    ),
]


def as_members(value):
    """A payload as nested (key, value) lists, the shape the server-side decoding gives."""
    if isinstance(value, dict):
        return [(k, as_members(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [as_members(v) for v in value]
    return value


@pytest.mark.parametrize("arguments, expected", PAYLOAD_CASES)
def test_payload_members(seams, arguments, expected):
    seams.client.chat.completions.create("m", [], **arguments)
    ((name, args, kwargs),) = seams.calls
    assert (name, args) == ("_request", ())
    assert list(kwargs) == ["method", "path", "json"]
    assert kwargs["method"] == "POST" and kwargs["path"] == "/v1/chat/completions"
    assert as_members(kwargs["json"]) == expected


@pytest.mark.parametrize("arguments, expected", PAYLOAD_CASES)
def test_payload_as_received(wire_client, httpserver, arguments, expected):
    httpserver.expect_request("/v1/chat/completions", method="POST").respond_with_json({})
    wire_client.chat.completions.create("m", [], **arguments)
    assert received_members(httpserver) == expected


def test_positional_parameters_in_order(seams):
    seams.client.chat.completions.create("m", [], 0.1, 9, False, 2, "END", 0.3, 0.4, 0.5, "classic", 4, "t")
    assert list(seams.sent().items()) == [
        ("model", "m"),
        ("messages", []),
        ("temperature", 0.1),
        ("stream", False),
        ("n", 2),
        ("max_tokens", 9),
        ("stop", "END"),
        ("presence_penalty", 0.3),
        ("frequency_penalty", 0.4),
        ("top_p", 0.5),
        ("rerank_tier", "classic"),
        ("rerank_k", 4),
        ("tenant_id", "t"),
    ]


@pytest.mark.parametrize("stream", [1, "yes", [0]])
def test_stream_member_unchanged_and_truth_picks_path(seams, stream):
    seams.client.chat.completions.create("m", [], stream=stream).close()
    assert seams.calls == []  # nothing is sent until the first pull
    stream_object = seams.client.chat.completions.create("m", [], stream=stream)
    list(stream_object)
    ((name, _, kwargs),) = seams.calls
    assert name == "_request_stream" and kwargs["json"]["stream"] is stream


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.create("m", [], 0.5, model="x"), "got multiple values for argument 'model'"),
        (lambda c: c.create("m"), "missing 1 required positional argument: 'messages'"),
        (lambda c: c.create(*range(14)), "takes from 3 to 14 positional arguments but 15 were given"),
    ],
)
def test_argument_binding_errors(seams, call, message):
    with pytest.raises(TypeError, match=message):
        call(seams.client.chat.completions)
    assert seams.calls == []


def test_messages_records_dumped_and_mappings_by_reference(seams):
    class Mine(dict):
        pass

    mapping = {"role": "system", "content": "be brief", "extra": [1]}
    subtype = Mine(role="user")
    record = models.ChatMessage(role="user", content="Hi")
    seams.client.chat.completions.create("m", iter([record, mapping, subtype]))
    sent = seams.sent()["messages"]
    assert list(sent[0].items()) == [("role", "user"), ("content", "Hi"), ("name", None)]
    assert sent[1] is mapping and sent[2] is subtype
    assert mapping == {"role": "system", "content": "be brief", "extra": [1]}


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize(
    "bad, type_text",
    [
        ("hello", "<class 'str'>"),
        (None, "<class 'NoneType'>"),
        (collections.OrderedDict().items(), "<class 'odict_items'>"),
        (collections.ChainMap({"role": "user"}), "<class 'collections.ChainMap'>"),
    ],
)
def test_wrong_message_kind_refused_before_sending(seams, stream, bad, type_text):
    with pytest.raises(InvalidRequestError) as caught:
        seams.client.chat.completions.create("m", [{"role": "user", "content": "ok"}, bad, 5], stream=stream)
    error = caught.value
    assert error.message == "Invalid message type: " + type_text
    assert (error.http_status, error.error_code) == (400, "INVALID_REQUEST")
    assert seams.calls == []


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("value", [{1, 2}, object(), math.nan, [1, b"raw"]])
def test_extra_argument_not_json_refused_naming_it(seams, stream, value):
    with pytest.raises(
        TypeError, match="keyword argument 'seed_data' of create\\(\\) cannot be sent as JSON"
    ) as caught:
        seams.client.chat.completions.create("m", [], stream=stream, user="u", seed_data=value)
    assert caught.value.__cause__ is not None
    assert seams.calls == []


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize(
    "messages, type_text, note",
    [
        ({"role": "user", "content": "Hi"}, "<class 'str'>", "a single dict was given"),
        (collections.ChainMap({"role": "user"}), "<class 'str'>", "a single ChainMap was given"),
        (models.ChatMessage(role="user", content="Hi"), "<class 'tuple'>", "a single ChatMessage was given"),
        ("Hi", "<class 'str'>", "a single str was given"),
        ([{"role": "user", "content": "ok"}, "Hi"], "<class 'str'>", None),  # a list: the usual text alone
    ],
)
def test_one_message_instead_of_a_list_gets_a_note(new_client, stream, messages, type_text, note):
    with new_client(api_key="sk-test", proxy_url="http://127.0.0.1:9") as client:  # nothing is sent
        with pytest.raises(InvalidRequestError) as caught:
            client.chat.completions.create(model="m", messages=messages, stream=stream)
    assert caught.value.message == "Invalid message type: " + type_text  # the documented text stays
    notes = getattr(caught.value, "__notes__", [])
    if note is None:
        assert notes == []
    else:
        assert len(notes) == 1 and note in notes[0] and "a list of messages" in notes[0]
