"""Many connections at once: bursts of new ones, long streams side by side, requests sent together,
and stopping while clients still hold connections open. Each test starts a stand-in of its own."""

import contextlib
import json
import os
import select
import signal
import socket
import time

import pytest
from support.emulator import ADMIN_KEY

STREAM_BODY = {"model": "korvane-1", "messages": [{"role": "user", "content": "x"}], "stream": True}


def request_bytes(method: str, path: str, body=None, *, content_length: int | None = None) -> bytes:
    data = b"" if body is None else json.dumps(body).encode()
    length = len(data) if content_length is None else content_length
    head = (
        f"{method} {path} HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {ADMIN_KEY}\r\n"
        f"Content-Type: application/json\r\nContent-Length: {length}\r\n\r\n"
    )
    return head.encode() + data


def read_answer(reader) -> tuple[int, bytes]:
    """One whole answer (with Content-Length) from a socket's binary file: its status and body."""
    status_line = reader.readline()
    assert status_line.startswith(b"HTTP/1.1 "), status_line
    length = 0
    while (line := reader.readline()) not in (b"\r\n", b""):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    return int(status_line.split()[1]), reader.read(length)


@contextlib.contextmanager
def streams_opened_at_once(address, count: int, *, limit: float):
    """Opens `count` streamed chat answers at once and never reads them (so the server's writes soon
    wait); yields how many had their answer's head within `limit` seconds of the first connect."""
    request = request_bytes("POST", "/v1/chat/completions", {**STREAM_BODY, "emulator_tokens": 1_000_000})
    sockets, poller = {}, select.poll()
    try:
        for _ in range(count):
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # little unread data per stream
            sock.setblocking(False)
            sock.connect_ex(address)
            sockets[sock.fileno()] = sock
            poller.register(sock, select.POLLOUT)
        answered, deadline = 0, time.monotonic() + limit
        while answered < count and (left := deadline - time.monotonic()) > 0:
            for fd, event in poller.poll(left * 1000):
                if event & (select.POLLERR | select.POLLHUP):
                    poller.unregister(fd)
                elif event & select.POLLOUT:
                    sockets[fd].send(request)  # a small request fits a fresh socket's buffer
                    poller.modify(fd, select.POLLIN)
                elif event & select.POLLIN:
                    answered += sockets[fd].recv(64).startswith(b"HTTP/1.1 200")
                    poller.unregister(fd)
        yield answered
    finally:
        for sock in sockets.values():
            sock.close()


def count_ready(sockets, event: int, ready, *, limit: float) -> int:
    """Checks `ready(sock)` on each socket as poll() reports `event` on it, until every socket passed
    or `limit` seconds went by; returns how many passed. (The limit only bounds a failing run.)"""
    pending = {sock.fileno(): sock for sock in sockets}
    poller = select.poll()
    for fd in pending:
        poller.register(fd, event)
    deadline = time.monotonic() + limit
    while pending and (left := deadline - time.monotonic()) > 0:
        for fd, _ in poller.poll(left * 1000):
            if ready(pending[fd]):
                del pending[fd]
                poller.unregister(fd)
    return len(sockets) - len(pending)


@contextlib.contextmanager
def paused(process):
    """The stand-in's process stopped (nothing accepts or answers), then resumed."""
    os.kill(process.pid, signal.SIGSTOP)
    try:
        yield
    finally:
        os.kill(process.pid, signal.SIGCONT)


def system_backlog() -> int:
    with open("/proc/sys/net/core/somaxconn") as limit:
        return int(limit.read())


def test_a_burst_of_new_connections_waits_in_the_accept_queue(start_emulator):
    # While nothing accepts, only the listen backlog holds finished handshakes; a connection beyond it
    # has its handshake dropped and retried a second or more later.
    emulator = start_emulator()
    count = min(200, system_backlog())
    sockets = [socket.socket() for _ in range(count)]
    try:
        with paused(emulator.process):
            for sock in sockets:
                sock.setblocking(False)
                sock.connect_ex((emulator.host, emulator.port))
            established = count_ready(
                sockets, select.POLLOUT, lambda sock: sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0, limit=3
            )
        assert established == count
        for sock in sockets:
            sock.settimeout(10)
            sock.sendall(request_bytes("GET", "/v1/models"))
        statuses = [read_answer(sock.makefile("rb"))[0] for sock in sockets]
        assert statuses == [200] * count
    finally:
        for sock in sockets:
            sock.close()


def test_long_streams_are_served_side_by_side(start_emulator):
    # More streams than a fixed pool of a few hundred workers serves. (The limit stays below the
    # server's write time-out, after which a stream that is not read ends and frees its worker.)
    emulator = start_emulator()
    with streams_opened_at_once((emulator.host, emulator.port), 300, limit=20) as answered:
        assert answered == 300
        # Beside them all, a new client is answered too.
        assert emulator.call("GET", "/v1/models").status == 200


def test_requests_sent_together_are_each_answered(start_emulator):
    # A client may send its next request before the answer to the first is read (pipelining): the
    # server must not drop what it read past the end of the first request.
    emulator = start_emulator()
    with socket.create_connection((emulator.host, emulator.port), timeout=10) as sock:
        first = request_bytes("POST", "/api/v1/tenants", {"name": "first"})
        sock.sendall(first + request_bytes("GET", "/v1/models") + request_bytes("GET", "/api/v1/tenants"))
        reader = sock.makefile("rb")
        created = read_answer(reader)
        models = read_answer(reader)
        tenants = read_answer(reader)
    assert created[0] == 201 and json.loads(created[1])["name"] == "first"
    assert models[0] == 200 and json.loads(models[1])["object"] == "list"
    assert tenants[0] == 200 and "first" in tenants[1].decode()


def idle_after_an_answer(sock):
    sock.sendall(request_bytes("GET", "/v1/models"))
    assert read_answer(sock.makefile("rb"))[0] == 200


def silent(sock):
    pass


def half_a_head(sock):
    sock.sendall(b"GET /v1/models HTTP/1.1\r\nHost: x\r\n")


def half_a_body(sock):
    sock.sendall(request_bytes("POST", "/api/v1/tenants", content_length=100) + b'{"name": ')


@pytest.mark.parametrize("client", [idle_after_an_answer, silent, half_a_head, half_a_body])
def test_stop_does_not_wait_for_open_connections(start_emulator, client):
    # A stop must not wait out the keep-alive or read time-outs (5 and 10 s) of its clients.
    emulator = start_emulator()
    with socket.create_connection((emulator.host, emulator.port), timeout=10) as sock:
        client(sock)
        # Connections are taken up in order: once a later one is answered, this one is being served.
        assert emulator.call("GET", "/v1/models").status == 200
        emulator.process.terminate()
        assert emulator.process.wait(timeout=2.5) == 0
        # The server closed the connection as it went (a reset is also a close).
        with contextlib.suppress(ConnectionResetError):
            while sock.recv(65536):
                pass
