"""Answers that break off or break the protocol: which failure each is, how the read time-out
counts a slow head, and that a request is never sent twice by the transport on its own."""

import socket
import time

import pytest
from korvane_sdk import http
from rawserver import JSON_HEADERS, answer, reset


def replying(data):
    """A handler sending `data` raw for the one request, then closing."""

    def handler(conn, server):
        server.receive(conn)
        server.send(conn, data)
        conn.close()

    return handler


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(b"hello there\r\n\r\n", id="no-status-line"),
        pytest.param(b"HTTP/1.1 99999 Far Out\r\nContent-Length: 0\r\n\r\n", id="status-of-five-digits"),
        pytest.param(b"HTTP/7.3 200 OK\r\nContent-Length: 0\r\n\r\n", id="unknown-version"),
        pytest.param(b"HTTP/1.1 200 OK\r\nX-Big: " + b"a" * (2 << 20) + b"\r\n\r\n", id="2-MB-header-line"),
    ],
)
def test_malformed_answer_head_is_a_connection_failure(raw_server, session, data):
    server = raw_server(replying(data))
    with pytest.raises(http.ConnectionError) as failure:
        session.request("GET", server.url + "/x", timeout=5)
    # The URL was fine and memory plentiful: neither may be blamed.
    assert not isinstance(failure.value, (http.InvalidURL, http.Timeout))
    assert not str(failure.value).lower().startswith("out of memory")


def test_read_time_out_counts_every_byte_of_the_head(raw_server, session):
    # Each header line takes several times the read time-out to arrive, but no byte is late.
    head = b"HTTP/1.1 200 OK\r\nX-Padding: " + b"p" * 60 + b"\r\nContent-Length: 2\r\n\r\n"

    def trickle(conn, server):
        server.receive(conn)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for byte in head:
            conn.sendall(bytes([byte]))
            time.sleep(0.02)
        conn.sendall(b"ok")

    server = raw_server(trickle)
    response = session.request("GET", server.url + "/slow", timeout=(5, 0.5))
    assert (response.status_code, response.headers["X-Padding"], response.content) == (200, "p" * 60, b"ok")


def test_read_time_out_still_ends_a_stalled_head(raw_server, session):
    def stall(conn, server):
        server.receive(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nX-Part")
        server.closed.wait(3)

    server = raw_server(stall)
    with pytest.raises(http.ReadTimeout):
        session.request("GET", server.url + "/stalled", timeout=(5, 0.3))


@pytest.mark.parametrize("ending", [reset, socket.socket.close], ids=["reset", "close"])
def test_request_on_a_lost_kept_alive_connection_is_not_sent_again(raw_server, session, ending):
    # The server answers the first request of each connection; the second it reads, then drops
    # the connection. A transport repeating it on a fresh connection would get an answer.
    def first_only(conn, server):
        if server.receive(conn) is None:
            return
        server.send(conn, answer(b'{"ok": true}', headers=JSON_HEADERS))
        if server.receive(conn) is not None:
            ending(conn)

    server = raw_server(first_only)
    assert session.request("POST", server.url + "/a", json={"n": 1}, timeout=5).json() == {"ok": True}
    with pytest.raises(http.ConnectionError):
        session.request("POST", server.url + "/a", json={"n": 2}, timeout=5)
    assert len(server.requests) == 2
    # The session goes on with a new connection.
    assert session.request("POST", server.url + "/a", json={"n": 3}, timeout=5).json() == {"ok": True}
