"""The streamed call's engine driven directly, without sockets: each event answered with the step a
driver must take next."""

import json

import pytest
from korvane_sdk import KorvaneClient, _core, exceptions, http

Call = _core._StreamCall
DONE = object()


class Answer:
    def __init__(self, status, headers=None, text="{}"):
        self.status_code = status
        self.headers = headers or {}
        self.text = text
        self.url = "http://answer.invalid/v1/chat/completions"

    def json(self):
        return json.loads(self.text)


def line(index):
    return b"data: " + json.dumps({"id": f"c{index}", "created": 1, "model": "m", "choices": []}).encode()


def engine(**settings):
    client = KorvaneClient(api_key="k", proxy_url="http://proxy.invalid", **settings)
    client._random = lambda: 0.5
    return client, _core._chat_stream_call(client, "POST", "/v1/chat/completions", {"stream": True})


def test_a_stream_is_planned_sent_and_read_to_done():
    client, call = engine()
    assert call.start() == Call.SEND
    request = call.request
    assert (request["method"], request["url"], request["stream"]) == (
        "POST",
        "http://proxy.invalid/v1/chat/completions",
        True,
    )
    assert request["json"] == {"stream": True} and request["timeout"] == client.timeout
    assert call.answered(Answer(200)) == Call.RESULT
    assert call.line(line(0), DONE).id == "c0"
    assert call.line(b"", DONE) is None and call.line(b": comment", DONE) is None
    assert call.line(line(1), DONE).id == "c1"
    assert call.line(b"data:  [DONE] ", DONE) is DONE
    assert call.finished and call.chunks == 2


@pytest.mark.parametrize(
    ("retry_on_busy", "statuses", "steps"),
    [
        # Busy answers are repeated (opted in, within max_retries) before anything is delivered.
        (True, [503, 429, 200], [Call.PAUSE, Call.PAUSE, Call.RESULT]),
        (True, [503, 503, 503], [Call.PAUSE, Call.PAUSE, Call.READ]),
        (False, [503], [Call.READ]),
        (True, [401], [Call.READ]),  # not busy: its error is raised at once
    ],
)
def test_busy_answers_are_repeated_only_when_opted_in(retry_on_busy, statuses, steps):
    _, call = engine(max_retries=3, retry_on_busy=retry_on_busy, backoff_base=1.0)
    assert call.start() == Call.SEND
    taken = []
    for status in statuses:
        step = call.answered(Answer(status))
        taken.append(step)
        if step == Call.PAUSE:
            assert 0 <= call.pause <= 8
            assert call.paused() == Call.SEND
    assert taken == steps


def test_an_error_answer_raises_its_error_with_the_request_named():
    _, call = engine()
    call.start()
    answer = Answer(401, {"X-Request-Id": "req-3"}, '{"error": "bad key"}')
    assert call.answered(answer) == Call.READ
    assert call.body_read(answer) == Call.RAISE
    error = call.take_error()
    assert isinstance(error, exceptions.AuthenticationError)
    assert (error.method, error.url, error.request_id) == ("POST", "http://proxy.invalid/v1/chat/completions", "req-3")
    assert call.finished


def test_a_transport_failure_while_sending_keeps_its_class_and_names_the_request():
    _, call = engine()
    call.start()
    failure = http.ConnectionError("refused")
    assert call.send_failed(failure) == Call.RAISE
    assert call.take_error() is failure
    assert (failure.method, failure.url) == ("POST", "http://proxy.invalid/v1/chat/completions")


@pytest.mark.parametrize(
    "failure",
    [http.ChunkedEncodingError("cut"), http.ReadTimeout("slow"), UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad")],
    ids=lambda failure: type(failure).__name__,
)
def test_failures_while_reading_name_the_request_and_its_id(failure):
    _, call = engine()
    call.start()
    call.answered(Answer(200, {"X-Request-Id": "req-5"}))
    call.line(line(0), DONE)
    call.failed(failure)
    assert (failure.method, failure.url, failure.request_id) == (
        "POST",
        "http://proxy.invalid/v1/chat/completions",
        "req-5",
    )
    assert failure.__notes__ == ["POST http://proxy.invalid/v1/chat/completions, request id req-5"]
    call.failed(failure)  # once only
    assert len(failure.__notes__) == 1


def test_an_unrelated_failure_is_left_as_it_is():
    _, call = engine()
    call.start()
    call.answered(Answer(200))
    failure = KeyError("x")
    call.failed(failure)
    assert not hasattr(failure, "method") and not hasattr(failure, "__notes__")
    assert call.finished


def test_an_adopted_response_is_named_by_its_own_url():
    _, call = engine()
    call.adopt(Answer(200, {"X-Request-Id": "req-8"}))
    assert call.line(line(0), DONE).id == "c0"
    failure = http.ChunkedEncodingError("cut")
    call.failed(failure)
    assert (failure.url, failure.request_id) == ("http://answer.invalid/v1/chat/completions", "req-8")
