"""Requests the emulator must survive: unknown paths, wrong methods, bad and huge bodies."""

import json
import re
import socket

import pytest

AUTH = b"Authorization: Bearer sk-korvane-admin\r\n"


def raw_exchange(emulator, head: bytes, body_pieces=()):
    """Sends a hand-made request and returns the head and body of the answer."""
    with socket.create_connection((emulator.host, emulator.port), timeout=5) as sock:
        sock.sendall(head)
        try:
            for piece in body_pieces:
                sock.sendall(piece)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server may answer before the body is through
        received = b""
        while b"\r\n\r\n" not in received:
            data = sock.recv(65536)
            assert data, "connection closed before an answer"
            received += data
        answer_head, _, body = received.partition(b"\r\n\r\n")
        length = int(re.search(rb"Content-Length: (\d+)", answer_head).group(1))
        while len(body) < length:
            body += sock.recv(65536)
        return answer_head, body


@pytest.mark.parametrize(
    "path",
    [
        "/",
        "/v2/models",
        "/api/v1/unknown",
        "/api/v2/tenants",
        "/api/v1/feedback/a/b",
        "/v1/models/extra",
        "/_emulator/nothing",
        "/" + "a" * 8000,
    ],
)
def test_unknown_paths(emulator, path):
    reply = emulator.call("GET", path)
    assert reply.status == 404
    assert reply.json() == {"detail": "Not Found", "error_code": "NOT_FOUND"}


@pytest.mark.parametrize("method", ["GET", "POST"])
def test_longest_path_is_routed(emulator, method):
    # The request line is capped at 8 KiB; routing a path that long recurses deeply (std::regex), on
    # every worker's stack.
    path = "/" + "a" * (8192 - len(f"{method}  HTTP/1.1\r\n") - 1)
    reply = emulator.call(method, path, {} if method == "POST" else None)
    assert reply.status == 404 and reply.json()["error_code"] == "NOT_FOUND"
    assert emulator.call(method, path + "a").status == 414


@pytest.mark.parametrize(
    "method, path, allowed",
    [
        ("PUT", "/v1/models", "GET"),
        ("GET", "/v1/chat/completions", "POST"),
        ("DELETE", "/api/v1/tenants", "GET, POST"),
        ("PATCH", "/api/v1/feedback/stats", "GET, DELETE"),
        ("OPTIONS", "/api/v1/datasets", "GET, POST"),
    ],
)
def test_wrong_methods(emulator, method, path, allowed):
    reply = emulator.call(method, path)
    assert reply.status == 405 and reply.headers["Allow"] == allowed
    assert reply.json()["error_code"] == "METHOD_NOT_ALLOWED"


def test_head_answers_without_body(emulator):
    reply = emulator.call("HEAD", "/v1/models")
    assert reply.status == 200 and reply.body == b""


@pytest.mark.parametrize("raw", [b"", b"   ", b"null"])
def test_empty_body_is_a_validation_error(emulator, raw):
    reply = emulator.call("POST", "/api/v1/tenants", raw=raw)
    assert reply.status == 422


@pytest.mark.parametrize("raw", [b"[" * 100000, b'{"name": "x", "metadata": ' + b'{"a": ' * 70 + b"1" + b"}" * 71])
def test_deeply_nested_json_is_refused(emulator, raw):
    reply = emulator.call("POST", "/api/v1/tenants", raw=raw)
    assert reply.status == 400 and reply.json()["error_code"] == "INVALID_JSON"


def test_moderately_nested_metadata_round_trips(emulator):
    metadata = current = {}
    for _ in range(40):
        current["a"] = {}
        current = current["a"]
    tenant = emulator.ok("POST", "/api/v1/tenants", {"name": "deep", "metadata": metadata})
    assert emulator.ok("GET", f"/api/v1/tenants/{tenant['id']}")["metadata"] == metadata


def test_declared_oversized_body_is_refused_unread(emulator):
    head = (
        b"POST /api/v1/tenants HTTP/1.1\r\nHost: x\r\n"
        + AUTH
        + b"Content-Type: application/json\r\nContent-Length: 40000000\r\n\r\n"
    )
    answer_head, body = raw_exchange(emulator, head, [b'{"name": "' + b"x" * 1000])
    assert answer_head.startswith(b"HTTP/1.1 413 ") and b"Connection: close" in answer_head
    assert json.loads(body)["error_code"] == "PAYLOAD_TOO_LARGE"


def test_chunked_oversized_body_is_cut_off(emulator):
    head = (
        b"POST /api/v1/tenants HTTP/1.1\r\nHost: x\r\n"
        + AUTH
        + b"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
    )
    piece = b"x" * (1 << 20)
    chunk = b"%x\r\n" % len(piece) + piece + b"\r\n"
    answer_head, _ = raw_exchange(emulator, head, [chunk] * 40)
    assert answer_head.startswith(b"HTTP/1.1 413 ") and b"Connection: close" in answer_head
    assert emulator.call("GET", "/v1/models").status == 200


def test_body_under_the_cap_is_read(emulator):
    raw = json.dumps({"name": "big", "metadata": {"blob": "b" * (8 << 20)}}).encode()
    tenant = emulator.ok("POST", "/api/v1/tenants", raw=raw)
    assert len(tenant["metadata"]["blob"]) == 8 << 20


def test_client_hanging_up_mid_stream(emulator):
    body = json.dumps(
        {
            "model": "korvane-1",
            "messages": [{"role": "user", "content": "x"}],
            "stream": True,
            "emulator_tokens": 1000000,
        }
    ).encode()
    head = b"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\n" + AUTH + b"Content-Length: %d\r\n\r\n" % len(body)
    with socket.create_connection((emulator.host, emulator.port), timeout=5) as sock:
        sock.sendall(head + body)
        assert sock.recv(4096).startswith(b"HTTP/1.1 200")
    # The server notices the closed socket on a later write and carries on serving.
    for _ in range(3):
        assert emulator.call("GET", "/v1/models").status == 200


def test_keep_alive_survives_error_answers(emulator):
    conn = emulator.connection()
    assert emulator.call("POST", "/api/v1/tenants", {"name": ""}, conn=conn).status == 422
    assert emulator.call("POST", "/api/v1/tenants", {"name": "ok"}, key="bad", conn=conn).status == 401
    assert emulator.call("POST", "/v1/chat/completions", raw=b"{oops", conn=conn).status == 400
    sock = conn.sock
    assert emulator.call("GET", "/v1/models", conn=conn).status == 200
    assert conn.sock is sock
    conn.close()


@pytest.mark.parametrize(
    "method, path, status",
    [
        ("GET", "/api/v1/feedback?limit=ten", 422),
        ("GET", "/api/v1/training/jobs?offset=-5", 422),
        ("GET", "/api/v1/training/jobs/x/logs?tail=lots", 422),
        ("GET", "/api/v1/feedback/%ff%fe", 404),
    ],
)
def test_bad_queries_and_ids(emulator, method, path, status):
    conn = emulator.connection()
    conn.request(method, path, headers={"Authorization": "Bearer sk-korvane-admin"})
    response = conn.getresponse()
    assert response.status == status
    json.loads(response.read())  # always a JSON body, even for ids that are not UTF-8
    conn.close()
