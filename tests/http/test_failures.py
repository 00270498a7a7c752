"""Transport failures and their classes: refused, time-outs, the exception hierarchy."""

import errno
import socket
import threading
import time

import pytest
from korvane_sdk import http
from korvane_sdk.http import ConnectionError, ConnectTimeout, ReadTimeout, RequestException, Session, Timeout


@pytest.mark.parametrize(
    "cls, bases",
    [
        (http.RequestException, (OSError,)),
        (http.ConnectionError, (http.RequestException,)),
        (http.Timeout, (http.RequestException,)),
        (http.ConnectTimeout, (http.ConnectionError, http.Timeout)),
        (http.ReadTimeout, (http.Timeout,)),
        (http.InvalidURL, (http.RequestException, ValueError)),
        (http.InvalidHeader, (http.RequestException, ValueError)),
        (http.ChunkedEncodingError, (http.RequestException,)),
        (http.SessionClosedError, (http.RequestException,)),
    ],
)
def test_exception_hierarchy(cls, bases):
    assert cls.__module__ == "korvane_sdk.http"
    assert all(issubclass(cls, base) for base in bases)
    assert str(cls("text")) == "text"


def closed_port():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return port


def test_connection_refused(session):
    with pytest.raises(ConnectionError) as info:
        session.request("GET", f"http://127.0.0.1:{closed_port()}/", timeout=1)
    assert not isinstance(info.value, Timeout)
    assert "connect" in str(info.value).lower()


def test_unknown_host_is_a_connection_error(session):
    with pytest.raises(ConnectionError):
        session.request("GET", "http://no-such-host.invalid/", timeout=1)


def test_read_timeout_when_the_server_never_answers(raw_server, session):
    server = raw_server(lambda conn, server: (server.receive(conn), server.closed.wait(2)))
    with pytest.raises(ReadTimeout) as info:
        session.request("GET", server.url, timeout=0.2)
    assert not isinstance(info.value, ConnectionError)
    assert "timed out" in str(info.value)


def test_read_timeout_is_per_wait_not_for_the_whole_exchange(raw_server, session):
    def handler(conn, server):
        server.receive(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n")
        for part in (b"ab", b"cd", b"ef"):
            time.sleep(0.1)
            conn.sendall(part)

    server = raw_server(handler)
    assert session.request("GET", server.url, timeout=0.25).content == b"abcdef"


def test_pair_timeout_bounds_the_read(raw_server, session):
    server = raw_server(lambda conn, server: (server.receive(conn), server.closed.wait(2)))
    with pytest.raises(ReadTimeout):
        session.request("GET", server.url, timeout=(1, 0.1))


@pytest.fixture
def full_backlog():
    """A listener whose accept queue is full, so new connections wait in the handshake."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(4):
        s = socket.socket()
        s.setblocking(False)
        err = s.connect_ex(listener.getsockname())
        fillers.append(s)
        if err not in (0, errno.EINPROGRESS):
            break
    time.sleep(0.05)
    probe = socket.socket()
    probe.settimeout(0.2)
    try:
        probe.connect(listener.getsockname())
        pytest.skip("this system accepts connections beyond a full backlog")
    except (TimeoutError, OSError):
        pass
    finally:
        probe.close()
    yield f"http://127.0.0.1:{listener.getsockname()[1]}/"
    for s in fillers:
        s.close()
    listener.close()


def test_connect_timeout(full_backlog, session):
    with pytest.raises(ConnectTimeout) as info:
        session.request("GET", full_backlog, timeout=0.2)
    assert isinstance(info.value, ConnectionError) and isinstance(info.value, Timeout)


@pytest.mark.parametrize("timeout", [0, -1, (1, 0), float("nan")])
def test_timeouts_must_be_positive(session, timeout):
    with pytest.raises(ValueError):
        session.request("GET", "http://127.0.0.1:9/", timeout=timeout)


def test_requests_from_many_threads_share_one_session(raw_server):
    def handler(conn, server):
        while (request := server.receive(conn)) is not None:
            path = request.split(b" ")[1]
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(path), path))

    server = raw_server(handler)
    session = Session()
    errors = []

    def work(n):
        try:
            for i in range(20):
                path = f"/t{n}/{i}"
                assert session.request("GET", server.url + path, timeout=2).text == path
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    session.close()
    assert errors == []
    assert len(server.requests) == 120 and server.connections <= 6


def test_line_longer_than_the_limit_is_refused(raw_server, session):
    chunk = b"x" * (1 << 20)

    def handler(conn, server):
        server.receive(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")
        for _ in range(70):
            conn.sendall(chunk)

    server = raw_server(handler)
    with pytest.raises(RequestException, match="longer than"):
        for _ in session.request("GET", server.url, stream=True).iter_lines():
            pass
