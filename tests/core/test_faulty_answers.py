"""Faulty answers as the client reports them, both clients: a lost kept-alive connection costs an
attempt (never a hidden second send), and a chat answer that is no completion is an
UNEXPECTED_RESPONSE naming the exchange."""

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


@pytest.mark.parametrize(
    "body, content_type, got",
    [
        (b"", "application/json", "str"),
        (b"<html>busy</html>", "text/html", "str"),
        (b"[1, 2]", "application/json", "list"),
        (b"42", "application/json", "int"),
    ],
)
def test_chat_answer_that_is_no_completion(raw_server, new_client, body, content_type, got):
    server = raw_server(
        lambda conn, s: (s.receive(conn), s.send(conn, answer(body, headers=(f"Content-Type: {content_type}",))))
    )
    with new_client(api_key="k", api_url=server.url, proxy_url=server.url, max_retries=1, timeout=5) as c:
        with pytest.raises(ex.KorvaneError) as failure:
            c.chat.completions.create(model="m", messages=MESSAGES)
    error = failure.value
    assert error.error_code == "UNEXPECTED_RESPONSE"
    assert str(error).startswith(f"Unexpected answer for POST /v1/chat/completions: expected a JSON object, got {got}")
    assert (error.method, error.url) == ("POST", server.url + "/v1/chat/completions")
    assert error.__notes__ == [f"POST {server.url}/v1/chat/completions"]


@pytest.mark.blocking_only  # the awaited stream's native line reader does not add it yet
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
