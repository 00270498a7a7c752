"""Faulty answers as the client reports them, both clients: a lost kept-alive connection costs an
attempt (never a hidden second send), and a chat answer that is no completion is an
UNEXPECTED_RESPONSE naming the exchange."""

import os
import subprocess
import sys

import pytest
from korvane_sdk import exceptions as ex
from korvane_sdk import http
from rawserver import JSON_HEADERS, answer, reset

COMPLETION = b'{"id": "c1", "choices": []}'
MESSAGES = [{"role": "user", "content": "hi"}]


def first_request_only(conn, server):
    """Answers the first request of a connection; resets the connection after reading the second."""
    if server.receive(conn) is None:
        return
    server.send(conn, answer(COMPLETION, headers=JSON_HEADERS))
    if server.receive(conn) is not None:
        reset(conn)


@pytest.mark.parametrize("max_retries, outcome, sent", [(1, ex.ConnectionError, 2), (2, "c1", 3)])
def test_lost_kept_alive_connection_costs_an_attempt(raw_server, new_client, max_retries, outcome, sent):
    server = raw_server(first_request_only)
    with new_client(api_key="k", api_url=server.url, proxy_url=server.url, max_retries=max_retries, timeout=5) as c:
        assert c.chat.completions.create(model="m", messages=MESSAGES).id == "c1"
        if isinstance(outcome, str):
            assert c.chat.completions.create(model="m", messages=MESSAGES).id == outcome
        else:
            with pytest.raises(outcome) as failure:
                c.chat.completions.create(model="m", messages=MESSAGES)
            assert failure.value.method == "POST"
    assert len(server.requests) == sent


def test_stream_on_a_lost_kept_alive_connection_is_sent_once(raw_server, new_client):
    server = raw_server(first_request_only)
    with new_client(api_key="k", api_url=server.url, proxy_url=server.url, max_retries=3, timeout=5) as c:
        c.chat.completions.create(model="m", messages=MESSAGES)  # leaves a kept-alive connection
        with pytest.raises(http.ConnectionError):
            next(iter(c.chat.completions.create(model="m", messages=MESSAGES, stream=True)))
    assert len(server.requests) == 2


CALLS = {
    "chat": (lambda c: c.chat.completions.create(model="m", messages=MESSAGES), "POST /v1/chat/completions"),
    "models": (lambda c: c.list_models(), "GET /v1/models"),
    "record": (lambda c: c.tenants.get("t1"), "GET /api/v1/tenants/t1"),
    "list": (lambda c: c.tenants.list(), "GET /api/v1/tenants"),
}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize(
    "body, content_type, got",
    [
        (b"", "application/json", "str"),
        (b"<html>busy</html>", "text/html", "str"),
        (b"42", "application/json", "int"),
    ],
)
def test_answer_of_a_shape_the_call_cannot_use(raw_server, new_client, call, body, content_type, got):
    server = raw_server(
        lambda conn, s: (s.receive(conn), s.send(conn, answer(body, headers=(f"Content-Type: {content_type}",))))
    )
    make_call, named = CALLS[call]
    method, path = named.split()
    with new_client(api_key="k", api_url=server.url, proxy_url=server.url, max_retries=1, timeout=5) as c:
        with pytest.raises(ex.KorvaneError) as failure:
            make_call(c)
    error = failure.value
    assert error.error_code == "UNEXPECTED_RESPONSE"
    assert error.message.startswith(f"Unexpected answer for {named}: expected a JSON ")
    assert error.message.endswith(f", got {got}")
    assert (error.method, error.url, error.__notes__) == (method, server.url + path, [f"{method} {server.url}{path}"])


def test_stream_line_that_is_not_utf8_names_the_exchange(raw_server, new_client):
    lines = b'data: {"id": "a"}\n\ndata: {"id": "\xff"}\n\n'
    server = raw_server(
        lambda conn, s: (s.receive(conn), s.send(conn, answer(lines, headers=("Content-Type: text/event-stream",))))
    )
    with new_client(api_key="k", api_url=server.url, proxy_url=server.url, timeout=5) as c:
        stream = c.chat.completions.create(model="m", messages=MESSAGES, stream=True)
        assert next(stream).id == "a"
        with pytest.raises(UnicodeDecodeError) as failure:
            next(stream)
    url = server.url + "/v1/chat/completions"
    assert (failure.value.method, failure.value.url, failure.value.__notes__) == ("POST", url, [f"POST {url}"])


@pytest.mark.skipif(bool(os.environ.get("KORVANE_SANITIZED")), reason="the sanitizer's quarantine holds freed memory")
@pytest.mark.parametrize("kind", ["blocking", "async"])
def test_large_answer_that_is_not_json_is_copied_little(raw_server, kind):
    size = 48 << 20
    body = b"<html>" + b"x" * (size - 6)
    server = raw_server(
        lambda conn, s: (s.receive(conn), s.send(conn, answer(body, headers=("Content-Type: text/html",))))
    )
    probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "big_answer_probe.py")
    done = subprocess.run([sys.executable, probe, kind, server.url], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # The body and the text made of it; a JSON attempt copying it again would pass three bodies.
    assert int(done.stdout) < 3 * size
