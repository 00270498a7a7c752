"""Streamed completions over a real local connection: awkward pieces, pauses, breaks, early drops."""

import json
import threading

import korvane_sdk.http
import pytest
from korvane_sdk import KorvaneClient
from korvane_sdk.exceptions import AuthenticationError, KorvaneError
from rawserver import STREAM_HEAD, StreamServer


def chunk_line(index, text="tok"):
    chunk = {
        "id": "s%d" % index,
        "created": 1,
        "model": "m",
        "choices": [{"index": 0, "delta": {"content": text}, "finish_reason": None}],
    }
    return b"data: " + json.dumps(chunk, ensure_ascii=False).encode()


@pytest.fixture
def raw_server():
    server = StreamServer()
    yield server
    server.close()


@pytest.fixture
def raw_client(raw_server):
    with KorvaneClient(api_key="sk-test", proxy_url=raw_server.url, timeout=2) as client:
        yield client


def pieces(data, sizes):
    """`data` cut into pieces of the given sizes (cycled), so cuts fall inside lines and line ends."""
    out, at, i = [], 0, 0
    while at < len(data):
        out.append(data[at : at + sizes[i % len(sizes)]])
        at += sizes[i % len(sizes)]
        i += 1
    return out


BODY = b"".join(
    [
        b": comment\r\n",
        b"event: completion\r\n",
        chunk_line(0, "h\u00e9llo \u4e16\u754c") + b"\r\n",
        b"\r\n",
        b"data: {broken json\n",
        chunk_line(1) + b"\r",
        chunk_line(2) + b"\n\n",
        b"data:" + chunk_line(9)[6:] + b"\n",
        b"data: 42junk\n",
        chunk_line(3) + b"\r\n",
    ]
)


@pytest.mark.parametrize(
    "ending",
    [b"data:  [DONE]  \r\n" + chunk_line(8) + b"\n", b"data: [DONE]", b""],
    ids=["done-then-more", "done-no-newline", "no-done"],
)
@pytest.mark.parametrize("sizes", [[1], [7, 2, 13], [len(BODY) + 200]], ids=["bytewise", "ragged", "whole"])
def test_awkward_pieces_with_pauses(raw_server, raw_client, sizes, ending):
    def handler(connection):
        connection.send(STREAM_HEAD)
        for i, piece in enumerate(pieces(BODY + ending, sizes)):
            connection.send_chunk(piece, pause=0.01 if i % 150 == 3 else 0)
        connection.send(b"0\r\n\r\n")

    raw_server.handler = handler
    stream = raw_client.chat.completions.create("m", [{"role": "user", "content": "Hi"}], stream=True)
    chunks = list(stream)
    assert [c.id for c in chunks] == ["s0", "s1", "s2", "s3"]
    assert chunks[0].choices[0]["delta"]["content"] == "h\u00e9llo \u4e16\u754c"
    assert raw_server.bodies[0]["stream"] is True


def test_break_midway_raises_http_error_after_delivered_chunks(raw_server, raw_client):
    delivered = threading.Event()

    def handler(connection):
        connection.send(STREAM_HEAD)
        connection.send_chunk(chunk_line(0) + b"\n" + chunk_line(1) + b"\n")
        delivered.wait(2)
        connection.send(b"400\r\n" + chunk_line(2)[:30])  # the chunk is cut off and the socket closed

    raw_server.handler = handler
    stream = raw_client.chat.completions.create("m", [], stream=True)
    assert [next(stream).id, next(stream).id] == ["s0", "s1"]
    delivered.set()
    with pytest.raises(korvane_sdk.http.RequestException) as caught:
        next(stream)
    assert not isinstance(caught.value, KorvaneError)
    assert list(stream) == []


@pytest.mark.parametrize("split", [False, True])
def test_chunk_arriving_with_the_headers_is_delivered_without_waiting_for_more(raw_server, raw_client, split):
    """The first lines may come in the same packet as the headers, or a line's end in the next
    packet: each is handed out as soon as its end is in, never held until more bytes arrive."""
    delivered, seen = threading.Event(), {}
    first = chunk_line(0) + b"\n"
    body = b"%x\r\n%s\r\n" % (len(first), first)

    def handler(connection):
        if split:
            connection.send(STREAM_HEAD + body[:-20])
            connection.send(body[-20:], pause=0.05)
        else:
            connection.send(STREAM_HEAD + body)
        seen["in_time"] = delivered.wait(5)
        connection.send_chunk(chunk_line(1) + b"\n")
        connection.send(b"0\r\n\r\n")

    raw_server.handler = handler
    stream = raw_client.chat.completions.create("m", [], stream=True)
    assert next(stream).id == "s0"
    delivered.set()
    assert next(stream).id == "s1"
    assert raw_server.done.wait(5)
    assert seen["in_time"] is True


@pytest.mark.parametrize("how", ["close", "with", "drop"])
def test_early_release_is_seen_by_the_server(raw_server, raw_client, how):
    seen = {}

    def handler(connection):
        connection.send(STREAM_HEAD)
        connection.send_chunk(chunk_line(0) + b"\n")
        seen["hung_up"] = connection.wait_for_hang_up(timeout=0.8)
        # Had the client kept reading, this would have been sent too.
        connection.send_chunk(b"".join(chunk_line(i) + b"\n" for i in range(1, 50)))

    raw_server.handler = handler
    stream = raw_client.chat.completions.create("m", [], stream=True)
    if how == "with":
        with stream:
            assert next(stream).id == "s0"
    else:
        assert next(stream).id == "s0"
        if how == "close":
            stream.close()
        else:
            del stream
    assert raw_server.done.wait(2)
    assert seen["hung_up"] is True


def test_unreachable_platform_fails_on_first_pull_with_http_error():
    with KorvaneClient(proxy_url="http://127.0.0.1:9", timeout=0.5) as client:
        stream = client.chat.completions.create("m", [], stream=True)
        with pytest.raises(korvane_sdk.http.ConnectionError) as caught:
            next(stream)
    assert not isinstance(caught.value, KorvaneError)


def test_error_status_raised_by_first_pull(wire_client, httpserver):
    httpserver.expect_request("/v1/chat/completions").respond_with_json({"detail": "bad key"}, status=401)
    stream = wire_client.chat.completions.create("m", [], stream=True)
    assert httpserver.log == []
    with pytest.raises(AuthenticationError, match="bad key"):
        next(stream)
