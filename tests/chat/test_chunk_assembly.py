"""Whole answers from streams: hand-made chunk sequences served on loopback, read by both clients."""

import json

import pytest
from korvane_sdk.models import ChatCompletion


def chunk(*choices, **members):
    return {
        "id": "c1",
        "object": "chat.completion.chunk",
        "created": 7,
        "model": "m",
        "choices": list(choices),
        **members,
    }


def delta(index, finish=None, **members):
    return {"index": index, "delta": members, "finish_reason": finish}


def call(index, **members):
    return {"index": index, **members}


def body(chunks, done=True):
    lines = [b"data: " + json.dumps(c).encode() + b"\n\n" for c in chunks]
    return b"".join(lines) + (b"data: [DONE]\n\n" if done else b"")


def message(choice):
    return choice["message"]


# name, chunks, [DONE] sent, what the answer's choices hold (index -> message, finish_reason), text of choice 0
CASES = [
    (
        "interleaved choices",
        [
            chunk(delta(0, role="assistant", content="Hel")),
            chunk(delta(1, role="assistant", content="Bon")),
            chunk(delta(1, content="jour", finish="length")),
            chunk(delta(0, content="lo"), delta(0, content="!", finish="stop")),
        ],
        True,
        {
            0: ({"role": "assistant", "content": "Hello!"}, "stop"),
            1: ({"role": "assistant", "content": "Bonjour"}, "length"),
        },
        ["Hel", "lo", "!"],
    ),
    (
        "choices arriving out of order, index 1 first",
        [chunk(delta(1, content="b")), chunk(delta(0, content="a"))],
        True,
        {0: ({"content": "a"}, None), 1: ({"content": "b"}, None)},
        ["a"],
    ),
    (
        "missing role, and the role repeated in every chunk",
        [
            chunk(delta(0, content="x")),
            chunk(delta(1, role="assistant", content="y")),
            chunk(delta(1, role="assistant", content="z")),
        ],
        True,
        {0: ({"content": "x"}, None), 1: ({"role": "assistant", "content": "yz"}, None)},
        ["x"],
    ),
    (
        "empty and content-less deltas, a chunk without choices, finish_reason alone",
        [
            chunk(delta(0, role="assistant")),
            chunk(delta(0, content="")),
            chunk(),
            chunk(delta(0, content=None)),
            chunk(delta(0, content="ok")),
            chunk({"index": 0, "delta": {}, "finish_reason": "stop"}),
        ],
        True,
        {0: ({"role": "assistant", "content": "ok"}, "stop")},
        ["ok"],
    ),
    (
        "a later null finish_reason keeps the one given",
        [chunk(delta(0, content="a", finish="stop")), chunk(delta(0, finish=None))],
        True,
        {0: ({"content": "a"}, "stop")},
        ["a"],
    ),
    (
        "tool-call fragments merged by index, interleaved, the name sent once or repeated",
        [
            chunk(
                delta(
                    0,
                    role="assistant",
                    content=None,
                    tool_calls=[call(0, id="call_a", type="function", function={"name": "weather", "arguments": ""})],
                )
            ),
            chunk(
                delta(
                    0,
                    tool_calls=[call(1, id="call_b", type="function", function={"name": "time", "arguments": '{"tz'})],
                )
            ),
            chunk(delta(0, tool_calls=[call(0, function={"arguments": '{"city": '})])),
            chunk(delta(0, tool_calls=[call(1, function={"name": "time", "arguments": '": "UTC"}'})])),
            chunk(delta(0, tool_calls=[call(0, id="call_a", function={"arguments": '"Paris"}'})], finish="tool_calls")),
        ],
        True,
        {
            0: (
                {
                    "role": "assistant",
                    "content": None,
                    "tool_calls": [
                        {
                            "index": 0,
                            "id": "call_a",
                            "type": "function",
                            "function": {"name": "weather", "arguments": '{"city": "Paris"}'},
                        },
                        {
                            "index": 1,
                            "id": "call_b",
                            "type": "function",
                            "function": {"name": "time", "arguments": '{"tz": "UTC"}'},
                        },
                    ],
                },
                "tool_calls",
            )
        },
        [],
    ),
    (
        "two texts of one delta growing side by side, then one replaced by a number and grown again",
        [
            chunk(delta(0, content="a", refusal="x")),
            chunk(delta(0, content="b", refusal="y")),
            chunk(delta(0, content=7)),
            chunk(delta(0, content="c", refusal="z")),
        ],
        True,
        {0: ({"content": "c", "refusal": "xyz"}, None)},
        ["a", "b", "c"],
    ),
    (
        "no [DONE]: the body's end ends the answer",
        [chunk(delta(0, content="one")), chunk(delta(0, content=" two", finish="stop"))],
        False,
        {0: ({"content": "one two"}, "stop")},
        ["one", " two"],
    ),
    (
        "a choice without index takes its position in the chunk",
        [chunk({"delta": {"content": "p"}}, {"delta": {"content": "q"}}), chunk({"delta": {"content": "r"}})],
        True,
        {0: ({"content": "pr"}, None), 1: ({"content": "q"}, None)},
        ["p", "r"],
    ),
    (
        "other members of a delta and of a choice: texts join, lists of plain items extend",
        [
            chunk({"index": 0, "delta": {"refusal": "No"}, "logprobs": {"content": [{"token": "No"}]}}),
            chunk({"index": 0, "delta": {"refusal": "pe"}, "logprobs": {"content": [{"token": "pe"}]}}),
        ],
        True,
        {0: ({"refusal": "Nope"}, None)},
        [],
    ),
]


@pytest.fixture
def serve(httpserver):
    def serve(data):
        httpserver.expect_request("/v1/chat/completions", method="POST").respond_with_data(
            data, content_type="text/event-stream"
        )
        return httpserver.url_for("/").rstrip("/")

    return serve


def open_stream(new_client, url, **options):
    client = new_client(api_key="sk-test", proxy_url=url)
    return client, client.chat.completions.create(
        model="requested", messages=[{"role": "user", "content": "hi"}], stream=True, **options
    )


@pytest.mark.parametrize("name, chunks, done, expected, texts", CASES, ids=[case[0] for case in CASES])
def test_chunk_sequences_add_up(new_client, serve, name, chunks, done, expected, texts):
    url = serve(body(chunks, done))
    client, stream = open_stream(new_client, url)
    with client:
        seen = list(stream)
        answer = stream.get_final_answer()
        completion = stream.get_final_completion()
    assert [c["choices"] for c in (s.model_dump() for s in seen)] == [c["choices"] for c in chunks]  # chunks untouched
    assert {c["index"]: (c["message"], c["finish_reason"]) for c in answer["choices"]} == expected
    assert [c["index"] for c in answer["choices"]] == sorted(expected)
    assert (answer["id"], answer["object"], answer["created"], answer["model"]) == ("c1", "chat.completion", 7, "m")
    assert isinstance(completion, ChatCompletion) and (completion.id, completion.model) == ("c1", "m")
    for record, (index, (msg, finish)) in zip(completion.choices, sorted(expected.items()), strict=True):
        assert (record.index, record.finish_reason) == (index, finish)
        assert record.message.role == (msg.get("role") or "assistant")
        assert record.message.content == (msg.get("content") or "")

    url = serve(body(chunks, done))
    client, stream = open_stream(new_client, url)
    with client:
        assert list(stream.text_deltas()) == texts
        assert stream.get_final_answer() == answer  # the deltas read still count


def test_chunk_members_the_record_drops_are_kept(new_client, serve):
    chunks = [
        chunk(delta(0, role="assistant", content="Hi"), system_fingerprint="fp_1"),
        chunk(delta(0, finish="stop"), usage=None),
        chunk(usage={"prompt_tokens": 3, "completion_tokens": 1, "total_tokens": 4}, rerank_tier="classic"),
    ]
    client, stream = open_stream(new_client, serve(body(chunks)))
    with client:
        completion = stream.get_final_completion()
        answer = stream.get_final_answer()
    assert answer["system_fingerprint"] == "fp_1"
    assert answer["usage"] == {"prompt_tokens": 3, "completion_tokens": 1, "total_tokens": 4}
    assert (completion.usage.total_tokens, completion.rerank_tier) == (4, "classic")
    assert completion.choices[0].message.content == "Hi"


def test_no_model_in_the_chunks_gives_the_requested_one(new_client, serve):
    bare = [{"choices": [delta(0, content="x")]}]
    client, stream = open_stream(new_client, serve(body(bare)))
    with client:
        completion = stream.get_final_completion()
    assert (completion.id, completion.created, completion.model) == ("", 0, "requested")
    assert completion.usage is None and completion.quantum_enhanced is False


def test_closed_early_holds_what_was_read(new_client, serve):
    chunks = [chunk(delta(0, content=word)) for word in ("a", "b", "c", "d")]
    client, stream = open_stream(new_client, serve(body(chunks)))
    with client:
        with stream:
            next(stream)
            next(stream)
        completion = stream.get_final_completion()
        assert list(stream) == []
    assert completion.choices[0].message.content == "ab"
    assert completion.choices[0].finish_reason is None  # unfinished, and it says so


def test_final_completion_reads_the_rest_first(new_client, serve):
    chunks = [chunk(delta(0, content=word)) for word in ("a", "b", "c")]
    client, stream = open_stream(new_client, serve(body(chunks)))
    with client:
        next(stream)
        assert stream.get_final_completion().choices[0].message.content == "abc"


def test_never_started_stream_is_empty(new_client):
    client = new_client(api_key="sk-test", proxy_url="http://127.0.0.1:9")
    with client:
        stream = client.chat.completions.create(model="m", messages=[], stream=True)
        stream.close()
        completion = stream.get_final_completion()
    assert completion.choices == [] and completion.model == "m"


def test_answers_are_copies(new_client, serve):
    chunks = [chunk(delta(0, tool_calls=[call(0, function={"arguments": "{"})])), chunk(delta(0, content="x"))]
    client, stream = open_stream(new_client, serve(body(chunks)))
    with client:
        answer = stream.get_final_answer()
        answer["choices"][0]["message"]["tool_calls"][0]["function"]["arguments"] += "changed"
        answer["choices"].clear()
        again = stream.get_final_answer()
    assert again["choices"][0]["message"]["tool_calls"][0]["function"]["arguments"] == "{"


@pytest.mark.parametrize("choice", ["0", 1.5, None])
def test_text_deltas_takes_an_integer_choice(new_client, serve, choice):
    client, stream = open_stream(new_client, serve(body([chunk(delta(0, content="x"))])))
    with client, pytest.raises(TypeError):
        list(stream.text_deltas(choice))


def test_deep_nesting_in_a_delta_is_merged_without_recursion_limits(new_client, serve):
    def deep():
        value = "x"
        for _ in range(500):
            value = {"k": value}
        return value

    chunks = [chunk(delta(0, extra=deep())), chunk(delta(0, extra=deep()))]
    client, stream = open_stream(new_client, serve(body(chunks)))
    with client:
        answer = stream.get_final_answer()
    assert "extra" in answer["choices"][0]["message"]


# Lines written by hand (spacing, member order and escapes as a platform may send them). Most lines
# of a stream open with the same bytes, and the answer must still see every member the record drops,
# wherever it comes: name, data lines.
OPEN = '{"id":"c1","object":"chat.completion.chunk","created":7,"model":"m","choices":'
PLAIN = OPEN + '[{"index":0,"delta":{"content":"a"},"finish_reason":null}]}'
RAW_CASES = [
    (
        "a member after choices, in a line opening as the others do",
        [PLAIN, PLAIN, OPEN + '[{"index":0,"delta":{"content":"b"}}],"usage":{"total_tokens":4}}'],
    ),
    (
        "an array member after choices (the line still ends with ]})",
        [PLAIN, PLAIN, OPEN + '[{"index":0,"delta":{"content":"b"}}],"tags":["x",[1]]}', PLAIN],
    ),
    (
        "a member before choices, then the usual opening again",
        [PLAIN, '{"id":"c1","system_fingerprint":"fp","choices":[]}', PLAIN, OPEN + '[],"usage":null}'],
    ),
    (
        "texts holding brackets, quotes and backslashes, short and long",
        [
            PLAIN,
            OPEN + r'[{"index":0,"delta":{"content":"]}, \"usage\": 1 \\"}}]}',
            OPEN + r'[{"index":0,"delta":{"content":"' + "x" * 22 + r"\\\"],\"late\":[" + "y" * 30 + r'\\"}}]}',
            OPEN + r'[{"index":0,"delta":{"content":"' + "x" * 23 + r'\"\\"}}],"late":"\"]}"}',
            PLAIN,
        ],
    ),
    (
        "spacing around the last member and after the object",
        [
            PLAIN,
            OPEN + ' [ {"index":0,"delta":{"content":"s"}} ] }  ',
            OPEN + '[{"index":0,"delta":{}}] , "usage" : {"total_tokens" : 2} }',
        ],
    ),
    (
        "choices given twice, and a record field written with an escape",
        [
            PLAIN,
            OPEN + '[{"index":0,"delta":{"content":"1"}}],"choices":[{"index":0,"delta":{"content":"2"}}]}',
            '{"\\u0069d":"c1","model":"m","choices":[],"extra":true}',
            PLAIN,
        ],
    ),
    (
        "a longer opening than any kept before, then extras in the same line shape",
        [
            '{"id":"' + "i" * 600 + '","model":"m","choices":[]}',
            '{"id":"' + "i" * 600 + '","model":"m","choices":[],"usage":{"total_tokens":9}}',
        ],
    ),
]


def expected_extras(lines):
    """The members a whole answer takes from the chunks beyond the record's: the last non-null wins."""
    fields = {"id", "object", "created", "model", "choices"}
    extras = {}
    for line in lines:
        for key, value in json.loads(line).items():
            if key not in fields and (value is not None or key not in extras):
                extras[key] = value
    return extras


@pytest.mark.parametrize("name, lines", RAW_CASES, ids=[case[0] for case in RAW_CASES])
def test_members_the_record_drops_are_found_in_any_line(new_client, serve, name, lines):
    data = b"".join(b"data: " + line.encode() + b"\n\n" for line in lines) + b"data: [DONE]\n\n"
    client, stream = open_stream(new_client, serve(data))
    with client:
        assert len(list(stream)) == len(lines)
        answer = stream.get_final_answer()
    fields = {"id", "object", "created", "model", "choices"}
    assert {k: v for k, v in answer.items() if k not in fields} == expected_extras(lines)
    texts = [c["delta"].get("content") or "" for line in lines for c in json.loads(line)["choices"]]
    if answer["choices"]:
        assert answer["choices"][0]["message"].get("content", "") == "".join(texts)


def test_a_long_stream_keeps_its_last_members(new_client, serve):
    usage = '{"prompt_tokens":1,"completion_tokens":20000,"total_tokens":20001}'
    lines = [PLAIN] * 20_000 + [OPEN + '[],"usage":' + usage + "}"]
    data = b"".join(b"data: " + line.encode() + b"\n\n" for line in lines) + b"data: [DONE]\n\n"
    client, stream = open_stream(new_client, serve(data))
    with client:
        completion = stream.get_final_completion()
    assert completion.choices[0].message.content == "a" * 20_000
    assert completion.usage is not None and completion.usage.total_tokens == 20_001
