"""A stream put back together equals the whole answer to the same request, for every behaviour of the
stand-in's chat model, with both clients."""

import pytest
from korvane_sdk import http

USER = [{"role": "user", "content": "one two three four"}]

# Each behaviour of the model: plain echo, several (interleaved) choices, length cuts, a cut to nothing,
# stop texts, forced lengths, reranking flags, a conversation without a user message.
BEHAVIOURS = {
    "echo": {},
    "three choices": {"n": 3},
    "max_tokens": {"max_tokens": 2, "n": 2},
    "max_tokens 0": {"max_tokens": 0},
    "stop text": {"stop": ["three"]},
    "stop list, several choices": {"stop": ["four", "variant"], "n": 2},
    "forced length": {"emulator_tokens": 25},
    "reranked": {"rerank_tier": "quantum_gpu", "rerank_k": 3},
    "no user message": {"messages": [{"role": "system", "content": "be brief"}]},
}


def without_identity(completion):
    """Each call has its own id and creation second."""
    return completion.model_copy(update={"id": "", "created": 0})


@pytest.mark.parametrize("options", BEHAVIOURS.values(), ids=BEHAVIOURS.keys())
def test_assembled_stream_equals_the_whole_answer(client, options):
    options = {"messages": USER, **options}
    whole = client.chat.completions.create(model="korvane-1", **options)
    stream = client.chat.completions.create(
        model="korvane-1", stream=True, stream_options={"include_usage": True}, **options
    )
    assembled = stream.get_final_completion()
    assert without_identity(assembled) == without_identity(whole)
    assert assembled.id.startswith("chatcmpl-") and assembled.created > 0


def test_without_usage_the_rest_still_equals(client):
    whole = client.chat.completions.create(model="korvane-1", messages=USER, n=2)
    assembled = client.chat.completions.create(model="korvane-1", messages=USER, n=2, stream=True)
    assembled = assembled.get_final_completion()
    assert assembled.usage is None
    assert without_identity(assembled) == without_identity(whole).model_copy(update={"usage": None})


def test_text_deltas_join_to_the_whole_content(client):
    whole = client.chat.completions.create(model="korvane-1", messages=USER, n=2)
    for choice in (0, 1):
        stream = client.chat.completions.create(model="korvane-1", messages=USER, n=2, stream=True)
        assert "".join(stream.text_deltas(choice)) == whole.choices[choice].message.content
        assert stream.get_final_completion().choices[1 - choice].message.content  # the other choice was kept


def test_dropped_stream_holds_what_arrived(client, faults):
    faults(drop_stream={"times": 1, "after_chunks": 2})
    stream = client.chat.completions.create(model="korvane-1", messages=USER, stream=True)
    with pytest.raises(http.RequestException):
        list(stream)
    assert stream.get_final_completion().choices[0].message.content == "Echo: one"
