"""Models and chat, whole and streamed, against the platform stand-in."""

import pytest
from korvane_sdk.models import ChatCompletion, ChatCompletionChunk, ChatMessage, ModelInfo


def test_models_list(client):
    models = client.list_models()
    assert models and all(isinstance(m, ModelInfo) for m in models)
    assert any(m.is_custom and m.base_model for m in models)


def test_whole_completion(client):
    model = client.list_models()[0].id
    reply = client.chat.completions.create(
        model=model,
        messages=[ChatMessage(role="user", content="one two three four")],
        n=2,
        rerank_tier="quantum_gpu",
        rerank_k=3,
    )
    assert isinstance(reply, ChatCompletion) and reply.model == model
    assert [c.index for c in reply.choices] == [0, 1]
    assert "one two three four" in reply.choices[0].message.content
    assert reply.choices[0].message.role == "assistant"
    usage = reply.usage
    assert usage.total_tokens == usage.prompt_tokens + usage.completion_tokens > 0
    assert (reply.rerank_tier, reply.quantum_enhanced) == ("quantum_gpu", True)


def test_max_tokens_and_stop(client):
    model = client.list_models()[0].id
    short = client.chat.completions.create(
        model=model, messages=[{"role": "user", "content": "a b c d e f"}], max_tokens=2
    )
    assert short.choices[0].finish_reason == "length" and short.usage.completion_tokens == 2
    cut = client.chat.completions.create(
        model=model, messages=[{"role": "user", "content": "a b STOP c"}], stop=["STOP"]
    )
    assert "STOP" not in cut.choices[0].message.content and cut.choices[0].finish_reason == "stop"


def test_stream_matches_the_whole_answer(client):
    model = client.list_models()[0].id
    messages = [{"role": "user", "content": "stream these words please"}]
    whole = client.chat.completions.create(model=model, messages=messages).choices[0].message.content
    with client.chat.completions.create(model=model, messages=messages, stream=True) as stream:
        chunks = list(stream)
    assert all(isinstance(c, ChatCompletionChunk) for c in chunks)
    text = "".join(c.choices[0].get("delta", {}).get("content", "") for c in chunks if c.choices)
    assert text == whole
    assert chunks[-1].choices[0]["finish_reason"] == "stop"


def test_long_stream(client):
    model = client.list_models()[0].id
    stream = client.chat.completions.create(
        model=model, messages=[{"role": "user", "content": "x"}], stream=True, emulator_tokens=5000
    )
    assert sum(1 for _ in stream) >= 5000


def test_unknown_model_is_not_found(client):
    from korvane_sdk.exceptions import NotFoundError

    with pytest.raises(NotFoundError):
        client.chat.completions.create(model="no-such-model", messages=[{"role": "user", "content": "x"}])
