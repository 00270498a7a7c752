"""Whole completions: the ChatCompletion built from the answer, its defaults and its failures."""

import korvane_sdk.models as models
import pytest
from korvane_sdk.exceptions import KorvaneError, RateLimitError, ServerError

USAGE = {"prompt_tokens": 3, "completion_tokens": 4, "total_tokens": 7}


def complete(seams, answer, model="requested"):
    seams.answer = answer
    return seams.client.chat.completions.create(model, [{"role": "user", "content": "Hi"}])


def test_empty_answer_takes_every_default(seams):
    result = complete(seams, {})
    assert type(result).__name__ == "ChatCompletion"
    assert (result.id, result.object, result.created, result.model) == ("", "chat.completion", 0, "requested")
    assert (result.choices, result.usage, result.rerank_tier, result.quantum_enhanced) == ([], None, None, False)


def test_full_answer(seams):
    answer = {
        "id": "c1",
        "object": "chat.completion",
        "created": 1700000000,
        "model": "served",
        "choices": [
            {
                "index": 4,
                "message": {"role": "assistant", "content": "Hello", "name": "bot", "x": 1},
                "finish_reason": "stop",
            },
            {"message": {}},
            {},
        ],
        "usage": dict(USAGE, cached_tokens=1),
        "rerank_tier": "classic",
        "quantum_enhanced": True,
        "extra": 1,
    }
    result = complete(seams, answer)
    assert (result.id, result.created, result.model, result.rerank_tier, result.quantum_enhanced) == (
        "c1",
        1700000000,
        "served",
        "classic",
        True,
    )
    first, second, third = result.choices
    assert (first.index, first.finish_reason) == (4, "stop")
    assert (first.message.role, first.message.content, first.message.name) == ("assistant", "Hello", None)
    for position, choice in ((1, second), (2, third)):
        assert (choice.index, choice.message.role, choice.message.content, choice.finish_reason) == (
            position,
            "assistant",
            "",
            None,
        )
    usage = result.usage
    assert (usage.prompt_tokens, usage.completion_tokens, usage.total_tokens) == (3, 4, 7)
    assert not hasattr(usage, "cached_tokens")


@pytest.mark.parametrize("usage", [None, {}, 0, ""])
def test_falsy_usage_is_none(seams, usage):
    assert complete(seams, {"usage": usage}).usage is None


@pytest.mark.parametrize(
    "answer",
    [
        {"id": None},
        {"created": None},
        {"created": "soon"},
        {"model": None},
        {"object": None},
        {"choices": [{"message": {"content": None}}]},
        {"choices": [{"index": None}]},
        {"usage": {"prompt_tokens": 1, "completion_tokens": 2}},
        {"quantum_enhanced": None},
    ],
    ids=lambda answer: repr(answer)[:40],
)
def test_present_null_or_wrong_value_fails_validation(seams, answer):
    with pytest.raises(models.ValidationError):
        complete(seams, answer)


@pytest.mark.parametrize(
    "answer, what",
    [
        ({"choices": None}, "the 'choices' of a chat completion must be a JSON array, not NoneType"),
        ({"choices": {"0": {}}}, "the 'choices' of a chat completion must be a JSON array, not dict"),
        ({"choices": [{}, "x"]}, "a chat completion choice must be a JSON object, not str"),
        (
            {"choices": [{"message": None}]},
            "the message of a chat completion choice must be a JSON object, not NoneType",
        ),
        ({"usage": [1]}, "the 'usage' of a chat completion must be a JSON object, not list"),
    ],
)
def test_wrong_shape_is_type_error(seams, answer, what):
    with pytest.raises(TypeError) as caught:
        complete(seams, answer)
    assert str(caught.value) == what


@pytest.mark.parametrize("answer, got", [([], "list"), ("text body", "str"), (None, "null")])
def test_answer_that_is_no_object_is_unexpected(seams, answer, got):
    with pytest.raises(KorvaneError) as caught:
        complete(seams, answer)
    assert caught.value.error_code == "UNEXPECTED_RESPONSE"
    assert caught.value.message == f"Unexpected answer for POST /v1/chat/completions: expected a JSON object, got {got}"
    assert caught.value.method == "POST" and caught.value.url.endswith("/v1/chat/completions")


@pytest.mark.parametrize("error", [RateLimitError(retry_after=3), ServerError(), KorvaneError("x")])
def test_request_errors_pass_unchanged(seams, error):
    seams.error = error
    with pytest.raises(type(error)) as caught:
        complete(seams, {})
    assert caught.value is error


def test_overridden_seam_through_subclass():
    from korvane_sdk import KorvaneClient

    class Recording(KorvaneClient):
        def _request(self, **kwargs):
            self.seen = kwargs
            return {"id": "sub", "created": 1}

    client = Recording()
    assert client.chat.completions.create("m", []).id == "sub"
    assert client.seen["path"] == "/v1/chat/completions"


def test_whole_completion_over_the_wire(wire_client, httpserver):
    httpserver.expect_request("/v1/chat/completions", method="POST").respond_with_json(
        {
            "id": "w1",
            "created": 5,
            "choices": [{"message": {"content": "Hej"}, "finish_reason": "stop"}],
            "usage": USAGE,
        }
    )
    result = wire_client.chat.completions.create("m", [{"role": "user", "content": "Hi"}])
    assert (result.id, result.model, result.choices[0].message.content, result.usage.total_tokens) == (
        "w1",
        "m",
        "Hej",
        7,
    )
    ((request, _),) = httpserver.log
    assert request.headers["Authorization"] == "Bearer sk-test"
