"""A streamed call's life as both clients live it: the log lines of its answer and its end, the
context of a failure while it is read, and replaced seams and closing behaving alike."""

import json
import logging
import re

import pytest
from chat_fakes import FakeResponse
from korvane_sdk import exceptions, http
from rawserver import keep_alive

PATH = "/v1/chat/completions"


def event(index):
    return b"data: " + json.dumps({"id": f"c{index}", "created": 1, "model": "m", "choices": []}).encode()


def chunked(data):
    return b"%x\r\n%s\r\n" % (len(data), data)


def cut_after_one_event(conn, server):
    """Sends the head and one event of a chunked body, then drops the connection."""
    server.receive(conn)
    conn.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nX-Request-Id: req-7\r\n"
        b"Transfer-Encoding: chunked\r\n\r\n" + chunked(event(0) + b"\n\n")
    )
    conn.close()


def read_ids(client):
    """The ids of the chunks a stream delivers, and the error that ended it (None at its end)."""
    ids = []
    try:
        for chunk in client.chat.completions.create(model="m", messages=[], stream=True):
            ids.append(chunk.id)
    except Exception as error:  # noqa: BLE001 - the cases look at it
        return ids, error
    return ids, None


SSE = event(0) + b"\n\n" + event(1) + b"\n\ndata: [DONE]\n\n"


@pytest.mark.parametrize(
    ("handler", "answer", "end"),
    [
        (keep_alive(SSE, "200 OK", ("Content-Type: text/event-stream",)), "200", r"stream ended, 2 chunks"),
        (
            keep_alive(b'{"error": "busy"}', "503 Service Unavailable"),
            "503",
            r"stream failed \(korvane_sdk\.exceptions\.ServerError\), 0 chunks",
        ),
        (cut_after_one_event, "200", r"stream failed \(korvane_sdk\.http\.ChunkedEncodingError\), 1 chunks"),
    ],
    ids=["done", "error-answer", "cut"],
)
def test_a_streamed_call_logs_its_answer_and_its_end(new_client, raw_server, caplog, handler, answer, end):
    server = raw_server(handler)
    with caplog.at_level(logging.DEBUG, logger="korvane_sdk"):
        with new_client(api_key="k", proxy_url=server.url, timeout=5) as client:
            read_ids(client)
    url = re.escape(server.url + PATH)
    lines = [record.getMessage() for record in caplog.records if record.name == "korvane_sdk"]
    assert len(lines) == 2, lines
    assert re.fullmatch(rf"POST {url} -> {answer} in [0-9.]+ ms \(attempt 1 of 1\)", lines[0]), lines
    assert re.fullmatch(rf"POST {url} -> {end} in [0-9.]+ ms", lines[1]), lines


def test_a_cut_stream_raises_the_http_layers_error_naming_the_request(new_client, raw_server):
    server = raw_server(cut_after_one_event)
    with new_client(api_key="k", proxy_url=server.url, timeout=5) as client:
        ids, error = read_ids(client)
    url = server.url + PATH
    assert ids == ["c0"]
    assert type(error) is http.ChunkedEncodingError  # the class is kept; the request is named on it
    assert (error.method, error.url, error.request_id) == ("POST", url, "req-7")
    assert f"POST {url}, request id req-7" in error.__notes__


def test_an_error_answer_names_the_request_once(new_client, raw_server):
    server = raw_server(keep_alive(b'{"error": "no"}', "401 Unauthorized", ("X-Request-Id: req-9",)))
    with new_client(api_key="k", proxy_url=server.url) as client:
        ids, error = read_ids(client)
    assert ids == []
    assert isinstance(error, exceptions.AuthenticationError)
    assert (error.method, error.url, error.request_id) == ("POST", server.url + PATH, "req-9")
    assert len([note for note in error.__notes__ if note.startswith("POST ")]) == 1


class Answer(FakeResponse):
    """A streamed answer as a replaced seam gives it."""

    status_code = 200
    headers = {"X-Request-Id": "req-1"}
    url = "http://fake.invalid/v1/chat/completions"


def replace(client, seam, response):
    """Replaces `seam` of `client` with a plain function giving `response`; returns its calls."""
    calls = []

    def request(**kwargs):
        calls.append(kwargs)
        return response

    if seam == "_request_stream":
        client._request_stream = request
    else:

        class Session:
            def close(self):
                pass

        session = Session()
        session.request = request
        client._session = session
    return calls


SEAMS = ["_request_stream", "_session.request"]


@pytest.mark.parametrize("seam", SEAMS)
def test_a_replaced_seam_is_read_up_to_done_and_released(new_client, seam):
    response = Answer([event(0), b"", b": keep-alive", event(1), b"data: [DONE]", event(9)])
    client = new_client(api_key="k")
    calls = replace(client, seam, response)
    assert [c.id for c in client.chat.completions.create(model="m", messages=[], stream=True)] == ["c0", "c1"]
    assert (response.pulled, response.closed) == (5, 1)  # nothing after "[DONE]" is read
    assert len(calls) == 1 and calls[0]["json"]["stream"] is True


@pytest.mark.parametrize("seam", SEAMS)
def test_closing_mid_stream_releases_the_response_at_once(new_client, seam):
    response = Answer([event(0), event(1), event(2)])
    client = new_client(api_key="k")
    replace(client, seam, response)
    stream = client.chat.completions.create(model="m", messages=[], stream=True)
    assert next(stream).id == "c0"
    stream.close()
    assert (response.pulled, response.closed) == (1, 1)
    assert list(stream) == []
    stream.close()
    assert response.closed == 1


@pytest.mark.parametrize("seam", SEAMS)
def test_a_stream_closed_before_its_first_pull_sends_nothing(new_client, seam):
    response = Answer([event(0)])
    client = new_client(api_key="k")
    calls = replace(client, seam, response)
    stream = client.chat.completions.create(model="m", messages=[], stream=True)
    stream.close()
    assert list(stream) == []
    assert calls == [] and response.closed == 0


@pytest.mark.parametrize("seam", SEAMS)
def test_a_failure_of_a_replaced_seams_lines_names_the_request(new_client, seam):
    response = Answer([event(0), http.ChunkedEncodingError("cut")])
    client = new_client(api_key="k")
    replace(client, seam, response)
    ids, error = read_ids(client)
    assert ids == ["c0"] and type(error) is http.ChunkedEncodingError
    assert response.closed == 1
    # The URL is the answer's own when the seam's response names one (a replaced _request_stream),
    # else the planned one.
    assert error.method == "POST" and error.url.endswith(PATH) and error.request_id == "req-1"
