"""The proxy paths: model list and chat completions, whole and streamed."""

import json

import pytest


def chat_body(text="hello there world", **extra):
    return {"model": "korvane-1", "messages": [{"role": "user", "content": text}], **extra}


def stream_events(text):
    """The JSON chunks of a streamed answer, checking the framing on the way."""
    assert text.endswith("data: [DONE]\n\n")
    lines = text.split("\n\n")
    assert lines[-1] == "" and lines[-2] == "data: [DONE]"
    assert all(line.startswith("data: ") for line in lines[:-1])
    return [json.loads(line[len("data: ") :]) for line in lines[:-2]]


def test_models_include_a_custom_model(emulator):
    answer = emulator.ok("GET", "/v1/models")
    assert answer["object"] == "list"
    ids = [m["id"] for m in answer["data"]]
    assert "korvane-1" in ids and len(ids) == len(set(ids))
    custom = [m for m in answer["data"] if m["is_custom"]]
    assert custom and all(m["base_model"] for m in custom)
    for model in answer["data"]:
        assert {"id", "name", "context_length", "supports_streaming", "input_cost_per_1k"} <= model.keys()


def test_completion_answer_shape_and_usage(emulator):
    answer = emulator.ok(
        "POST",
        "/v1/chat/completions",
        {
            "model": "korvane-1",
            "messages": [{"role": "system", "content": "be brief"}, {"role": "user", "content": "hello there world"}],
        },
    )
    assert answer["id"].startswith("chatcmpl-")
    assert answer["object"] == "chat.completion" and answer["model"] == "korvane-1"
    assert isinstance(answer["created"], int)
    [choice] = answer["choices"]
    assert choice["index"] == 0 and choice["finish_reason"] == "stop"
    assert choice["message"]["role"] == "assistant"
    assert "hello there world" in choice["message"]["content"]
    words = len(choice["message"]["content"].split())
    assert answer["usage"] == {"prompt_tokens": 5, "completion_tokens": words, "total_tokens": 5 + words}
    assert answer["rerank_tier"] is None and answer["quantum_enhanced"] is False


def test_ids_are_unique_and_replies_deterministic(emulator):
    first = emulator.ok("POST", "/v1/chat/completions", chat_body())
    second = emulator.ok("POST", "/v1/chat/completions", chat_body())
    assert first["id"] != second["id"]
    assert first["choices"] == second["choices"]


def test_n_choices_differ_slightly(emulator):
    answer = emulator.ok("POST", "/v1/chat/completions", chat_body(n=3))
    assert [c["index"] for c in answer["choices"]] == [0, 1, 2]
    contents = [c["message"]["content"] for c in answer["choices"]]
    assert len(set(contents)) == 3
    assert answer["usage"]["completion_tokens"] == sum(len(c.split()) for c in contents)


@pytest.mark.parametrize(
    "extra, content, finish",
    [
        ({"max_tokens": 2}, "Echo: one", "length"),
        ({"max_tokens": 0}, "", "length"),
        ({"stop": "three"}, "Echo: one two", "stop"),
        ({"stop": ["zzz", "two", "one"]}, "Echo:", "stop"),
        ({"stop": ["four"], "max_tokens": 10}, "Echo: one two three", "stop"),
        ({"stop": []}, "Echo: one two three", "stop"),
    ],
)
def test_max_tokens_and_stop(emulator, extra, content, finish):
    answer = emulator.ok("POST", "/v1/chat/completions", chat_body("one two three", **extra))
    [choice] = answer["choices"]
    assert (choice["message"]["content"], choice["finish_reason"]) == (content, finish)
    assert answer["usage"]["completion_tokens"] == len(content.split())


@pytest.mark.parametrize("tier, quantum", [("classic", False), ("quantum_cpu", True), ("quantum_gpu", True)])
def test_rerank_tier_is_echoed(emulator, tier, quantum):
    answer = emulator.ok("POST", "/v1/chat/completions", chat_body(rerank_tier=tier, rerank_k=5))
    assert (answer["rerank_tier"], answer["quantum_enhanced"]) == (tier, quantum)


def test_forced_token_count(emulator):
    answer = emulator.ok("POST", "/v1/chat/completions", chat_body(emulator_tokens=250))
    assert len(answer["choices"][0]["message"]["content"].split()) == 250
    assert answer["usage"]["completion_tokens"] == 250


@pytest.mark.parametrize(
    "raw, status, code",
    [
        (b'{"model": "korvane-1", "messages": [', 400, "INVALID_JSON"),
        (b"not json", 400, "INVALID_JSON"),
        (b'{"model": "korvane-1", "messages": [], "x": 1e400}', 400, "INVALID_JSON"),
        (b'{"model": "korvane-1", "messages": [{"role": "user", "content": "\xff"}]}', 400, "INVALID_JSON"),
        (b"[1, 2]", 422, "VALIDATION_ERROR"),
        (b'{"messages": []}', 422, "VALIDATION_ERROR"),
        (b'{"model": 7, "messages": []}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": "hi"}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": ["hi"]}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [{"role": "user"}]}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [{"role": 1, "content": "x"}]}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "n": 0}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "n": "2"}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "max_tokens": -1}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "stop": 5}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "temperature": "hot"}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "stream": "yes"}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "emulator_tokens": 99999999}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "emulator_tokens": 600000, "n": 2}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "emulator_tokens": 9223372036854775807}', 422, "VALIDATION_ERROR"),
        (b'{"model": "korvane-1", "messages": [], "max_tokens": 18446744073709551615}', 422, "VALIDATION_ERROR"),
        (b'{"model": "no-such-model", "messages": []}', 404, "MODEL_NOT_FOUND"),
    ],
)
def test_bad_chat_requests(emulator, raw, status, code):
    reply = emulator.call("POST", "/v1/chat/completions", raw=raw)
    assert reply.status == status
    assert reply.json()["error_code"] == code and reply.json()["detail"]


def test_unknown_tenant_in_chat(emulator):
    reply = emulator.call("POST", "/v1/chat/completions", chat_body(tenant_id="tenant_missing"))
    assert reply.status == 404 and reply.json()["error_code"] == "NOT_FOUND"


def test_stream_format(emulator):
    conn = emulator.connection()
    conn.request(
        "POST",
        "/v1/chat/completions",
        body=json.dumps(chat_body("one two three", stream=True)),
        headers={"Authorization": "Bearer sk-korvane-admin"},
    )
    response = conn.getresponse()
    assert response.status == 200
    assert response.getheader("Content-Type").startswith("text/event-stream")
    assert response.getheader("Transfer-Encoding") == "chunked"
    chunks = stream_events(response.read().decode())
    conn.close()
    assert len(chunks) == 4  # one per token
    assert len({c["id"] for c in chunks}) == 1 and chunks[0]["id"].startswith("chatcmpl-")
    for c in chunks:
        assert c["object"] == "chat.completion.chunk" and c["model"] == "korvane-1"
        assert c["choices"][0]["index"] == 0
    assert chunks[0]["choices"][0]["delta"]["role"] == "assistant"
    assert all("role" not in c["choices"][0]["delta"] for c in chunks[1:])
    assert [c["choices"][0]["finish_reason"] for c in chunks] == [None, None, None, "stop"]
    streamed = "".join(c["choices"][0]["delta"]["content"] for c in chunks)
    whole = emulator.ok("POST", "/v1/chat/completions", chat_body("one two three"))
    assert streamed == whole["choices"][0]["message"]["content"]


@pytest.mark.parametrize(
    "extra, finishes",
    [
        ({"n": 2}, ["stop", "stop"]),
        ({"max_tokens": 1}, ["length"]),
        ({"max_tokens": 0}, ["length"]),
    ],
)
def test_stream_choices_and_limits(emulator, extra, finishes):
    chunks = stream_events(emulator.call("POST", "/v1/chat/completions", chat_body(stream=True, **extra)).text)
    last_of = {}
    for c in chunks:
        [choice] = c["choices"]
        last_of[choice["index"]] = choice["finish_reason"]
    assert [last_of[i] for i in sorted(last_of)] == finishes


def test_long_forced_stream(emulator):
    chunks = stream_events(
        emulator.call("POST", "/v1/chat/completions", chat_body(stream=True, emulator_tokens=10000)).text
    )
    assert len(chunks) == 10000
    assert chunks[-1]["choices"][0]["finish_reason"] is not None
    assert all(c["choices"][0]["finish_reason"] is None for c in chunks[:-1])


def test_chat_counts_into_tenant_usage(emulator, tenant):
    answer = emulator.ok("POST", "/v1/chat/completions", chat_body("a b c", tenant_id=tenant["id"]))
    streamed = emulator.call("POST", "/v1/chat/completions", chat_body("a b c", stream=True), key=tenant["api_key"])
    assert streamed.status == 200
    usage = emulator.ok("GET", f"/api/v1/tenants/{tenant['id']}/usage")
    assert usage["monthly_requests_used"] == 2
    assert usage["monthly_tokens_used"] == 2 * answer["usage"]["total_tokens"]
    assert emulator.ok("GET", f"/api/v1/tenants/{tenant['id']}")["monthly_tokens_used"] == usage["monthly_tokens_used"]
