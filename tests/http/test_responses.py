"""What an answer offers: status, headers, text, JSON, and line-by-line reading."""

import gc
import json
import threading

import pytest
from korvane_sdk.http import ChunkedEncodingError, ReadTimeout, RequestException, Session
from rawserver import answer, keep_alive, pieces


@pytest.mark.parametrize(
    "status, ok",
    [
        (200, True),
        (204, True),
        (302, True),
        (399, True),
        (400, False),
        (404, False),
        (503, False),
        (599, False),
        (600, True),
    ],
)
def test_ok_follows_the_failure_range(raw_server, session, status, ok):
    server = raw_server(keep_alive(b"", f"{status} Whatever"))
    response = session.request("GET", server.url)
    assert response.status_code == status and response.ok is ok and response.reason == "Whatever"


def test_headers_are_case_insensitive_and_joined(raw_server, session):
    server = raw_server(keep_alive(b"", headers=("Retry-After: 30", "X-Multi: a", "x-multi: b")))
    headers = session.request("GET", server.url).headers
    assert headers["retry-after"] == headers["RETRY-AFTER"] == headers.get("Retry-After") == "30"
    assert headers["X-Multi"] == "a, b"
    assert "x-MULTI" in headers and "nope" not in headers and 5 not in headers
    assert headers.get("nope") is None and headers.get("nope", "d") == "d"
    assert dict(headers.items())["Content-Length"] == "0"
    assert set(headers) == {"Content-Length", "Retry-After", "X-Multi"} and len(headers) == 3
    with pytest.raises(KeyError):
        headers["missing"]


@pytest.mark.parametrize(
    "body, content_type, text",
    [
        ("h\u00e9llo".encode("latin-1"), "text/plain; charset=ISO-8859-1", "h\u00e9llo"),
        ("h\u00e9llo".encode(), 'text/plain; charset="utf-8"', "h\u00e9llo"),
        ("h\u00e9llo".encode(), "text/plain", "h\u00e9llo"),
        (b"bad \xff byte", "application/json", "bad \ufffd byte"),
        (b"x", "text/plain; charset=no-such-charset", "x"),
    ],
)
def test_text_decoding(raw_server, session, body, content_type, text):
    server = raw_server(keep_alive(body, headers=(f"Content-Type: {content_type}",)))
    response = session.request("GET", server.url)
    assert response.text == text and response.content == body


@pytest.mark.parametrize(
    "body, value",
    [
        (b'{"a": [1, 2.5, null, true], "b": {"c": "d"}}', {"a": [1, 2.5, None, True], "b": {"c": "d"}}),
        (b'{"k": 1, "k": 2}', {"k": 2}),
        (b"123456789012345678901234567890", 123456789012345678901234567890),
        (b'"text"', "text"),
        (b"[]", []),
    ],
)
def test_json(raw_server, session, body, value):
    server = raw_server(keep_alive(body))
    assert session.request("GET", server.url).json() == value


@pytest.mark.parametrize(
    "body",
    [
        b"",
        b"not json",
        b'{"a": 1',
        b"{} {}",
        b"[1 true]",
        b"0x10x10x1}",
        b'["\xff"]',
        b'{"loss": NaN, "best": -Infinity}',
        "[1, 2]".encode("utf-16"),
    ],
)
def test_json_is_what_json_loads_makes_of_the_body(raw_server, session, body):
    """The value, or the same exception with the same message and position (UnicodeDecodeError for
    bytes that are not UTF-8)."""
    server = raw_server(keep_alive(body))

    def verdict(read):
        try:
            return repr(read())
        except ValueError as error:
            return type(error), str(error)

    assert verdict(session.request("GET", server.url).json) == verdict(lambda: json.loads(body))


def test_gzip_answers_are_decoded(httpserver, session):
    import gzip

    httpserver.expect_request("/z").respond_with_data(
        gzip.compress(b'{"zipped": true}'), headers={"Content-Encoding": "gzip"}, content_type="application/json"
    )
    assert session.request("GET", httpserver.url_for("/z")).json() == {"zipped": True}


@pytest.mark.parametrize("distinct", [3, 16, 17, 200])
def test_many_header_names_keep_order_case_and_repeats(raw_server, session, distinct):
    fields = [f"X-Name-{i}: v{i}" for i in range(distinct)]
    fields += [f"x-NAME-{i}: again{i}" for i in range(0, distinct, 3)]
    headers = session.request("GET", raw_server(keep_alive(b"", headers=fields)).url).headers
    assert list(headers)[1:] == [f"X-Name-{i}" for i in range(distinct)]  # after Content-Length
    for i in range(distinct):
        assert headers[f"x-name-{i}".upper()] == (f"v{i}, again{i}" if i % 3 == 0 else f"v{i}")
    assert "X-Name-%d" % distinct not in headers and len(headers) == distinct + 1


@pytest.mark.parametrize(
    "parts, lines",
    [
        ([b"a\nb\r\nc\rd"], [b"a", b"b", b"c", b"d"]),
        ([b"one\r", b"\ntwo\r", b"\n"], [b"one", b"two"]),
        ([b"x\r", b"y\n"], [b"x", b"y"]),
        ([b"\n\n", b"data: 1\n\n"], [b"", b"", b"data: 1", b""]),
        ([b"a", b"b", b"c\r\n", b"\r", b"\n", b"tail"], [b"abc", b"", b"tail"]),
        ([b"no end"], [b"no end"]),
        ([b""], []),
    ],
)
def test_iter_lines_split_across_reads(raw_server, session, parts, lines):
    server = raw_server(pieces(*parts))
    response = session.request("POST", server.url, json={}, stream=True)
    assert list(response.iter_lines()) == lines


def test_iter_lines_split_at_every_byte(raw_server, session):
    body = b'data: {"i": 1}\r\n\r\ndata: [DONE]\r\n'
    server = raw_server(pieces(*(body[i : i + 1] for i in range(len(body))), delay=0.002))
    with session.request("GET", server.url, stream=True) as response:
        assert list(response.iter_lines()) == [b'data: {"i": 1}', b"", b"data: [DONE]"]


def test_iter_lines_yields_each_line_as_it_arrives(raw_server, session):
    release = threading.Event()

    def handler(conn, server):
        server.receive(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nfirst\n\r\n")
        release.wait(2)
        conn.sendall(b"7\r\nsecond\n\r\n0\r\n\r\n")

    server = raw_server(handler)
    lines = session.request("GET", server.url, stream=True, timeout=3).iter_lines(decode_unicode=True)
    assert next(lines) == "first"  # would hang until the time-out if the reader waited for more
    release.set()
    assert list(lines) == ["second"]


@pytest.mark.parametrize("chunked", [False, True], ids=["close-delimited", "chunked"])
def test_a_fast_sender_streams_intact_through_paused_reads(raw_server, session, chunked):
    # Megabytes sent at once: the reader takes them in bounded steps, pausing the transfer in
    # between; no line may be lost, cut or doubled at a pause, however long.
    lines = [b"line %d " % i + b"x" * (i % 700) for i in range(12000)]
    lines[5000] = b"L" * 300_000  # longer than any one step
    body = b"\n".join(lines) + b"\n"

    def handler(conn, server):
        server.receive(conn)
        if chunked:
            conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
            for at in range(0, len(body), 50_000):
                part = body[at : at + 50_000]
                conn.sendall(b"%x\r\n%s\r\n" % (len(part), part))
            conn.sendall(b"0\r\n\r\n")
        else:
            conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body)
            conn.close()

    server = raw_server(handler)
    with session.request("GET", server.url, stream=True, timeout=5) as response:
        received = response.iter_lines()
        assert next(received) == lines[0]
        assert list(received) == lines[1:]


def test_a_paused_stream_can_be_closed_or_read_whole(raw_server, session):
    body = b"".join(b"%06d\n" % i for i in range(200_000))  # 1.4 MB

    def handler(conn, server):
        while server.receive(conn) is not None:
            conn.sendall(answer(body))

    server = raw_server(handler)
    response = session.request("GET", server.url, stream=True, timeout=5)
    assert next(response.iter_lines()) == b"000000"
    response.close()  # the rest is never read
    response = session.request("GET", server.url, stream=True, timeout=5)
    assert response.content == body
    assert session.request("GET", server.url, stream=True).content == body  # the connection was fine


def test_content_after_lines_is_refused_and_lines_after_content_work(raw_server, session):
    server = raw_server(pieces(b"a\n", b"b", delay=0.05))
    response = session.request("GET", server.url, stream=True)
    assert next(response.iter_lines()) == b"a"
    with pytest.raises(RuntimeError):
        response.content
    server = raw_server(pieces(b"a\n", b"b", delay=0.05))
    whole = session.request("GET", server.url, stream=True)
    assert whole.content == b"a\nb"
    assert list(whole.iter_lines()) == list(whole.iter_lines()) == [b"a", b"b"]


def test_stream_read_timeout_between_lines(raw_server, session):
    def handler(conn, server):
        server.receive(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhi\n\r\n")
        server.closed.wait(2)

    server = raw_server(handler)
    lines = session.request("GET", server.url, stream=True, timeout=0.2).iter_lines()
    assert next(lines) == b"hi"
    with pytest.raises(ReadTimeout):
        next(lines)


def test_reset_mid_body_is_a_broken_transfer(raw_server, session):
    def handler(conn, server):
        server.receive(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial\nsecond\r\nthird\nrest")
        conn.close()

    server = raw_server(handler)
    with pytest.raises(ChunkedEncodingError):
        session.request("GET", server.url)
    lines = session.request("GET", server.url, stream=True).iter_lines()
    # every line that arrived whole comes first, then the failure (the cut-off piece is not a line)
    assert [next(lines) for _ in range(3)] == [b"partial", b"second", b"third"]
    with pytest.raises(ChunkedEncodingError):
        next(lines)


def test_bad_chunked_encoding_is_a_broken_transfer(raw_server, session):
    def handler(conn, server):
        server.receive(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nxx\r\n")
        conn.close()

    server = raw_server(handler)
    with pytest.raises(ChunkedEncodingError):
        session.request("GET", server.url)


def watch_close(body_parts):
    """A handler that sends a long body slowly and records when the client hangs up."""

    def handler(conn, server):
        while server.receive(conn) is not None:
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")
            try:
                for part in body_parts:
                    conn.sendall(part)
                conn.settimeout(2)
                if conn.recv(1) == b"":
                    server.closed.set()
            except OSError:
                server.closed.set()
            return

    return handler


@pytest.mark.parametrize("how", ["close", "with", "drop"])
def test_stream_closed_early_drops_its_connection(raw_server, how):
    server = raw_server(watch_close([b"line\n"]))
    session = Session()
    response = session.request("GET", server.url, stream=True)
    assert next(response.iter_lines()) == b"line"
    if how == "close":
        response.close()
        response.close()
    elif how == "with":
        with response:
            pass
    else:
        del response
        gc.collect()
    assert server.closed.wait(2)
    session.close()


def test_closed_stream_reports_the_missing_body(raw_server, session):
    server = raw_server(watch_close([b"x\n"]))
    response = session.request("GET", server.url, stream=True)
    response.close()
    with pytest.raises(RequestException, match="closed"):
        response.content
    with pytest.raises(RequestException, match="closed"):
        list(response.iter_lines())


def test_finished_stream_returns_its_connection(raw_server, session):
    server = raw_server(keep_alive(b"a\nb\n"))
    for _ in range(3):
        assert list(session.request("GET", server.url, stream=True).iter_lines()) == [b"a", b"b"]
    assert server.connections == 1


def test_one_response_read_from_two_threads(raw_server, session):
    body = b"".join(b"line %d\n" % i for i in range(2000))
    server = raw_server(pieces(body[:5000], body[5000:], delay=0.01))
    response = session.request("GET", server.url, stream=True)
    lines = response.iter_lines()
    seen = []

    def pull():
        seen.extend(lines)

    threads = [threading.Thread(target=pull) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(seen) == sorted(body.splitlines())
