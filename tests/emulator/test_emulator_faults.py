"""Fault injection, statistics and reset, by control paths and by flags."""

import http.client
import json
import socket

import pytest

CHAT = {"model": "korvane-1", "messages": [{"role": "user", "content": "one two three four five"}]}


def set_faults(emulator, **faults):
    return emulator.ok("POST", "/_emulator/faults", faults)


def read_stream(emulator, body=None):
    """Status, data lines received and whether the chunked body ended properly."""
    conn = emulator.connection()
    conn.request(
        "POST",
        "/v1/chat/completions",
        body=json.dumps(body or {**CHAT, "stream": True}),
        headers={"Authorization": "Bearer sk-korvane-admin"},
    )
    response = conn.getresponse()
    try:
        text, complete = response.read(), True
    except http.client.IncompleteRead as cut:
        text, complete = cut.partial, False
    finally:
        conn.close()
    lines = [line for line in text.decode().split("\n\n") if line]
    return response.status, lines, complete


def test_rate_limit_for_the_next_requests(emulator):
    set_faults(emulator, rate_limit={"times": 2, "retry_after": "2"})
    for path in ("/v1/models", "/api/v1/tenants"):
        reply = emulator.call("GET", path)
        assert reply.status == 429 and reply.headers["Retry-After"] == "2"
        assert reply.json()["error_code"] == "RATE_LIMIT"
    assert emulator.call("GET", "/v1/models").status == 200


@pytest.mark.parametrize(
    "retry_after, header",
    [
        (None, "1"),
        (30, "30"),
        ("Wed, 21 Oct 2015 07:28:00 GMT", "Wed, 21 Oct 2015 07:28:00 GMT"),
        ("", None),
    ],
)
def test_retry_after_forms(emulator, retry_after, header):
    setting = {"times": 1} if retry_after is None else {"times": 1, "retry_after": retry_after}
    set_faults(emulator, rate_limit=setting)
    assert emulator.call("GET", "/v1/models").headers["Retry-After"] == header


@pytest.mark.parametrize("setting, status", [({"times": 1}, 500), ({"times": 1, "status": 503}, 503)])
def test_server_error(emulator, setting, status):
    set_faults(emulator, server_error=setting)
    reply = emulator.call("POST", "/v1/chat/completions", CHAT)
    assert reply.status == status and reply.json()["detail"]
    assert emulator.call("POST", "/v1/chat/completions", CHAT).status == 200


def test_faults_queued_together_come_one_after_the_other(emulator):
    set_faults(emulator, rate_limit={"times": 1}, server_error={"times": 1, "status": 502})
    assert [emulator.call("GET", "/v1/models").status for _ in range(3)] == [429, 502, 200]


def test_control_paths_neither_consume_nor_suffer_faults(emulator):
    set_faults(emulator, rate_limit={"times": 1})
    assert emulator.call("GET", "/_emulator/stats").status == 200
    assert emulator.ok("GET", "/_emulator/faults")["rate_limit"] == {"times": 1, "retry_after": "1"}
    assert emulator.call("GET", "/v1/models").status == 429


def test_every_request_until_cleared(emulator):
    set_faults(emulator, server_error={"times": -1, "status": 504})
    assert [emulator.call("GET", "/v1/models").status for _ in range(3)] == [504] * 3
    set_faults(emulator, server_error=None)
    assert emulator.call("GET", "/v1/models").status == 200


def test_delay_holds_the_answer(emulator):
    set_faults(emulator, delay={"times": 1, "seconds": 1.0})
    conn = emulator.connection(timeout=0.3)
    with pytest.raises(socket.timeout):
        emulator.call("GET", "/v1/models", conn=conn)
    conn.close()
    assert emulator.call("GET", "/v1/models").status == 200


def test_drop_stream_cuts_after_k_chunks(emulator):
    set_faults(emulator, drop_stream={"times": 1, "after_chunks": 3})
    assert emulator.call("GET", "/v1/models").status == 200  # plain requests leave it armed
    status, lines, complete = read_stream(emulator)
    assert status == 200 and not complete
    assert len(lines) == 3 and "data: [DONE]" not in lines
    status, lines, complete = read_stream(emulator)
    assert complete and lines[-1] == "data: [DONE]"


@pytest.mark.parametrize("after_chunks, lines_seen, complete", [(6, 6, False), (7, 7, True), (100, 7, True)])
def test_drop_stream_near_the_end(emulator, after_chunks, lines_seen, complete):
    # Six tokens, "Echo:" and the five words, as six chunks, then [DONE].
    set_faults(emulator, drop_stream={"times": 1, "after_chunks": after_chunks})
    _, lines, whole = read_stream(emulator)
    assert (len(lines), whole) == (lines_seen, complete)
    assert (lines[-1] == "data: [DONE]") == complete


@pytest.mark.parametrize(
    "body",
    [
        [],
        {"explode": {}},
        {"rate_limit": 3},
        {"rate_limit": {"times": "x"}},
        {"rate_limit": {"retry_after": "1\r\nX-Evil: 1"}},
        {"server_error": {"status": 404}},
        {"delay": {"seconds": -1}},
        {"delay": {"times": 1}},
        {"drop_stream": {"after_chunks": -1}},
    ],
)
def test_bad_fault_settings(emulator, body):
    reply = emulator.call("POST", "/_emulator/faults", body)
    assert reply.status == 422
    assert emulator.ok("GET", "/_emulator/faults") == {
        "rate_limit": None,
        "server_error": None,
        "delay": None,
        "drop_stream": None,
    }


def test_stats_and_reset(emulator, tenant):
    emulator.call("GET", "/v1/models")
    emulator.call("GET", "/v1/models", key=None)
    emulator.call("GET", "/api/v1/nowhere")
    stats = emulator.ok("GET", "/_emulator/stats")
    # The tenant fixture's create counts too; control paths do not.
    assert stats == {"requests": 4, "by_path": {"/api/v1/tenants": 1, "/api/v1/nowhere": 1, "/v1/models": 2}}
    set_faults(emulator, rate_limit={"times": 5})
    assert emulator.ok("POST", "/_emulator/reset") == {"reset": True}
    assert emulator.ok("GET", "/_emulator/stats") == {"requests": 0, "by_path": {}}
    assert emulator.ok("GET", "/api/v1/tenants")["tenants"] == []
    assert emulator.call("GET", "/v1/models", key=tenant["api_key"]).status == 401


@pytest.mark.parametrize(
    "flags, expected",
    [
        (["--rate-limit", "1", "--retry-after", "7"], [(429, "7"), (200, None)]),
        (["--server-error", "2", "--server-error-status", "503"], [(503, None), (503, None), (200, None)]),
    ],
)
def test_fault_flags(start_emulator, flags, expected):
    emulator = start_emulator(*flags)
    for status, retry_after in expected:
        reply = emulator.call("GET", "/v1/models")
        assert (reply.status, reply.headers["Retry-After"]) == (status, retry_after)


def test_drop_stream_flag(start_emulator):
    emulator = start_emulator("--drop-stream-after", "2", "--drop-stream-count", "1")
    _, lines, complete = read_stream(emulator)
    assert not complete and len(lines) == 2
    assert read_stream(emulator)[2]


def test_delay_flag(start_emulator):
    emulator = start_emulator("--delay", "1", "--delay-count", "1")
    conn = emulator.connection(timeout=0.3)
    with pytest.raises(socket.timeout):
        emulator.call("GET", "/v1/models", conn=conn)
    conn.close()
    assert emulator.call("GET", "/v1/models").status == 200
