"""Misbehaving servers: each fault gives its documented error in bounded time and memory, and the
same client works afterwards."""

import json
import socket
import time

import pytest
from hostile_probes import KEY, rss_bytes, wait_for
from korvane_sdk import exceptions as ex
from korvane_sdk import http
from rawserver import endless, gzip_bomb_parts, reply, reset, self_signed_context

MiB = 1 << 20
CHUNK = json.dumps(
    {
        "id": "c1",
        "object": "chat.completion.chunk",
        "created": 1,
        "model": "m",
        "choices": [{"index": 0, "delta": {"content": "hi"}, "finish_reason": None}],
    }
).encode()
SSE_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
MESSAGES = [{"role": "user", "content": "hello"}]


def sse_chunk(data):
    return b"%x\r\n%s\r\n" % (len(data), data)


def still_usable(client, good):
    client.api_url = client.proxy_url = good.url
    assert client.tenants.list() == []


def refused_url():
    sock = socket.create_server(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return f"http://127.0.0.1:{port}"


def stream_chunks(client):
    return client.chat.completions.create(model="m", messages=MESSAGES, stream=True)


def test_connection_refused(client_for, good):
    client = client_for(refused_url(), max_retries=2)
    with pytest.raises(ex.ConnectionError, match="^Connection error: "):
        client.tenants.list()
    with pytest.raises(http.ConnectionError):
        next(stream_chunks(client))
    still_usable(client, good)


def reset_after_part_of_the_body(conn, server):
    server.receive(conn)
    server.send(conn, b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n[1, 2, ")
    time.sleep(0.05)
    reset(conn)


def reset_before_the_answer(conn, server):
    server.receive(conn)
    reset(conn)


@pytest.mark.parametrize(
    "handler, error, prefix",
    [
        (reset_after_part_of_the_body, ex.KorvaneError, "Request failed: "),
        (reset_before_the_answer, ex.ConnectionError, "Connection error: "),
    ],
)
def test_reset_mid_answer(raw_server, client_for, good, handler, error, prefix):
    server = raw_server(handler)
    client = client_for(server.url, max_retries=3)
    with pytest.raises(error) as caught:
        client.tenants.list()
    assert str(caught.value).startswith(prefix)
    assert len(server.requests) == 3  # transport failures are attempted again
    still_usable(client, good)


def test_reset_mid_stream_keeps_the_chunks_before_it(raw_server, client_for, good):
    def handler(conn, server):
        server.receive(conn)
        server.send(conn, SSE_HEAD + sse_chunk(b"data: " + CHUNK + b"\n\n") * 2)
        time.sleep(0.05)
        reset(conn)

    client = client_for(raw_server(handler).url)
    received = []
    with pytest.raises(http.RequestException):
        for chunk in stream_chunks(client):
            received.append(chunk.choices[0]["delta"]["content"])
    assert received == ["hi", "hi"]
    still_usable(client, good)


def stall_after_head(conn, server):
    server.receive(conn)
    server.send(conn, b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n")
    server.closed.wait(5)


def stall_in_stream(conn, server):
    server.receive(conn)
    server.send(conn, SSE_HEAD + sse_chunk(b"data: " + CHUNK + b"\n\n"))
    server.closed.wait(5)


def test_headers_then_stall_times_out(raw_server, client_for, good):
    client = client_for(raw_server(stall_after_head).url, timeout=0.2, max_retries=2)
    with pytest.raises(ex.TimeoutError, match=r"^Request timed out after 0\.2s"):
        client.tenants.list()
    still_usable(client, good)


def test_stream_stall_times_out_on_the_pull(raw_server, client_for, good):
    client = client_for(raw_server(stall_in_stream).url, timeout=0.2)
    stream = stream_chunks(client)
    assert next(stream).choices[0]["delta"]["content"] == "hi"
    with pytest.raises(http.ReadTimeout):
        next(stream)
    still_usable(client, good)


def test_a_byte_at_a_time_still_gives_the_answer(raw_server, client_for, good):
    body = json.dumps({"data": [{"id": "m1", "name": "M1", "object": "model", "created": 1, "owned_by": "o"}]}).encode()

    def trickle(conn, server):
        server.receive(conn)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for byte in reply(body):
            server.send(conn, bytes([byte]))
            time.sleep(0.001)
        conn.close()

    client = client_for(raw_server(trickle).url)
    assert [m.id for m in client.list_models()] == ["m1"]
    still_usable(client, good)


def test_a_huge_body_is_refused_at_the_cap(raw_server, client_for, good):
    head = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n[" % (5 << 30)
    server = raw_server(endless(head, b"1," * (MiB // 2), 256 * MiB))
    client = client_for(server.url)
    client._session.max_body_size = 8 * MiB
    before = rss_bytes()
    with pytest.raises(ex.KorvaneError, match="^Request failed: The answer body is larger than the limit of 8388608"):
        client.tenants.list()
    assert rss_bytes() - before < 64 * MiB
    assert wait_for(server.closed.is_set)
    assert server.sent < 64 * MiB  # the client stopped reading long before the end
    still_usable(client, good)


def test_the_cap_also_bounds_a_stream_read_whole(raw_server, client_for):
    head = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % (5 << 30)
    server = raw_server(endless(head, b"x\n" * (MiB // 2), 256 * MiB))
    session = http.Session()
    session.max_body_size = 4 * MiB
    with session.request("GET", server.url, stream=True, timeout=1) as response:
        with pytest.raises(http.RequestException, match="larger than the limit"):
            response.content
    lines = 0
    with session.request("GET", server.url, stream=True, timeout=1) as response:
        for _ in response.iter_lines():  # taken as they come: the cap is never reached
            lines += 1
            if lines == 3 * MiB:
                break
    assert lines == 3 * MiB
    session.close()


@pytest.mark.parametrize(
    "value, error",
    [(0, ValueError), (-1, ValueError), (1.5, TypeError), ("1", TypeError), (None, TypeError), (True, TypeError)],
)
def test_the_cap_takes_only_a_positive_count_of_bytes(value, error):
    session = http.Session()
    with pytest.raises(error):
        session.max_body_size = value
    assert session.max_body_size == 1 << 30


def test_a_line_without_end_is_refused_past_64_mib(raw_server, client_for, good):
    server = raw_server(endless(SSE_HEAD, sse_chunk(b"data: " + b"x" * MiB), 160 * MiB))
    client = client_for(server.url)
    with pytest.raises(http.RequestException, match="longer than 64 MiB"):
        next(stream_chunks(client))
    assert wait_for(server.closed.is_set)
    assert server.sent < 100 * MiB
    still_usable(client, good)


def test_invalid_utf8_in_a_stream_is_a_decode_error(raw_server, client_for, good):
    def handler(conn, server):
        server.receive(conn)
        bad = CHUNK.replace(b'"hi"', b'"h\xff\xfei"')
        server.send(conn, SSE_HEAD + sse_chunk(b"data: " + CHUNK + b"\n\ndata: " + bad + b"\n\n") + b"0\r\n\r\n")

    client = client_for(raw_server(handler).url)
    stream = stream_chunks(client)
    assert next(stream).choices[0]["delta"]["content"] == "hi"
    with pytest.raises(UnicodeDecodeError):
        next(stream)
    still_usable(client, good)


def test_a_gzip_bomb_stops_at_the_cap(raw_server, client_for, good):
    start, piece = gzip_bomb_parts()
    head = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: gzip\r\nConnection: close\r\n\r\n"
    server = raw_server(endless(head + start, piece * 64, 64 * MiB))
    client = client_for(server.url)
    client._session.max_body_size = 16 * MiB
    before = rss_bytes()
    with pytest.raises(ex.KorvaneError, match="larger than the limit"):
        client.tenants.list()
    assert rss_bytes() - before < 96 * MiB
    assert wait_for(server.closed.is_set)
    assert server.sent < 4 * MiB  # a few kilobytes inflate to the cap
    still_usable(client, good)


@pytest.mark.parametrize("target_host", ["localhost", "127.0.0.1"])
def test_a_redirect_to_another_host_gets_no_key(raw_server, client_for, target_host):
    # The same address under another name, or another port: another origin either way.
    other = raw_server(
        lambda conn, server: [server.send(conn, reply(b"[]")) for _ in iter(lambda: server.receive(conn), None)]
    )
    target = f"http://{target_host}:{other.port}/api/v1/tenants"

    def redirect(conn, server):
        while server.receive(conn) is not None:
            server.send(conn, reply(b"", "302 Found", (f"Location: {target}",)))

    first = raw_server(redirect)
    client = client_for(first.url)
    assert client.tenants.list() == []
    assert KEY.encode() in first.requests[0]
    assert len(other.requests) == 1
    assert KEY.encode() not in other.requests[0]
    assert b"authorization" not in other.requests[0].lower()


def test_self_signed_tls_is_refused_unless_verification_is_off(raw_server, client_for, good, tmp_path):
    server = raw_server(
        lambda conn, s: [s.send(conn, reply(b"[]")) for _ in iter(lambda: s.receive(conn), None)],
        tls=self_signed_context(str(tmp_path)),
    )
    checked = client_for(server.url)
    with pytest.raises(ex.ConnectionError, match="^Connection error: "):
        checked.tenants.list()
    assert server.requests == []
    trusting = client_for(server.url, verify_ssl=False)
    assert trusting.tenants.list() == []
    assert len(server.requests) == 1
    still_usable(checked, good)


def test_endless_headers_are_refused(raw_server, client_for, good):
    def handler(conn, server):
        server.receive(conn)
        server.send(conn, b"HTTP/1.1 200 OK\r\n")
        number = 0
        while server.sent < 64 * MiB:
            server.send(conn, b"".join(b"X-H%d: %s\r\n" % (number + k, b"a" * 50) for k in range(1000)))
            number += 1000

    server = raw_server(handler)
    client = client_for(server.url)
    with pytest.raises(ex.ConnectionError, match="^Connection error: "):
        client.tenants.list()
    assert wait_for(server.closed.is_set)
    assert server.sent < 16 * MiB
    still_usable(client, good)
