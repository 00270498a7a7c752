"""The call engine fed by hand: its retry, busy-pause and failure rules, with no socket and no driver.

Each case is a script of events (what the transport gave for each send) and the steps the engine
must answer with; the same script runs for the blocking and the awaited engine."""

import errno

import pytest
from korvane_sdk import KorvaneClient, http
from korvane_sdk import exceptions as ex
from korvane_sdk._core import _CallEngine


class Answer:
    """An answer as the session gives it, with just what the engine reads."""

    def __init__(self, status, body=None, headers=None):
        self.status_code = status
        self.headers = headers or {}
        self._body = {"ok": True} if body is None else body
        self.closed = False

    @property
    def text(self):
        return str(self._body)

    def json(self):
        return self._body

    def close(self):
        self.closed = True


class Session:
    def __init__(self):
        self.sent = []

    def request(self, **kwargs):
        self.sent.append(kwargs)
        return "in flight"


def client_with(**settings):
    client = KorvaneClient(api_key="sk-test", api_url="http://api.test", proxy_url="http://proxy.test", **settings)
    client._session = Session()
    client._random = lambda: 0.5
    return client


BUSY = Answer(503, {"detail": "busy"}, {"Retry-After": "2"})
OK = Answer(200, {"id": "t1"})

# (settings, what each attempt gave, the steps answered, the outcome: a value or an error class)
SCRIPTS = {
    "answer at once": ({}, [OK], ["result"], {"id": "t1"}),
    "a timeout repeated at once": ({}, [http.ReadTimeout("slow"), OK], ["send", "result"], {"id": "t1"}),
    "a dropped connection repeated": ({}, [http.ConnectionError("reset"), OK], ["send", "result"], {"id": "t1"}),
    "every attempt times out": (
        {"max_retries": 2},
        [http.ReadTimeout("slow"), http.ReadTimeout("slow")],
        ["send", "raise"],
        ex.TimeoutError,
    ),
    "out of descriptors is not repeated": (
        {"max_retries": 3},
        [http.ConnectionError(errno.EMFILE, "Too many open files")],
        ["raise"],
        ex.ConnectionError,
    ),
    "a failure not the transport's passes unchanged": ({}, [KeyError("mine")], ["raise"], KeyError),
    "busy off: raised at once": ({}, [BUSY], ["raise"], ex.ServerError),
    "busy on: paused, then answered": ({"retry_on_busy": True}, [BUSY, OK], ["pause", "result"], {"id": "t1"}),
    "busy on the last attempt is raised": (
        {"retry_on_busy": True, "max_retries": 2},
        [BUSY, BUSY],
        ["pause", "raise"],
        ex.ServerError,
    ),
    "a client error is never repeated": (
        {"retry_on_busy": True},
        [Answer(404, {"detail": "no"})],
        ["raise"],
        ex.NotFoundError,
    ),
}


@pytest.mark.parametrize("awaited", [False, True], ids=["blocking", "awaited"])
@pytest.mark.parametrize("name", list(SCRIPTS))
def test_engine_rules(name, awaited):
    settings, given, steps, outcome = SCRIPTS[name]
    client = client_with(**settings)
    engine = _CallEngine.request(client, "GET", "/api/v1/tenants/t1", awaited=awaited)
    assert engine.start() == "send"
    taken = []
    for event in given:
        assert engine.send() == "in flight"
        step = engine.failed(event) if isinstance(event, BaseException) else engine.answered(event)
        taken.append(step)
        if step == "pause":
            assert engine.pause_seconds == 2.0  # the answer's Retry-After
            assert engine.busy_answer() is event
            assert engine.paused() == "send"
    assert taken == steps
    # every attempt sent the same plan
    assert {(s["url"], s["headers"]["Authorization"]) for s in client._session.sent} == {
        ("http://api.test/api/v1/tenants/t1", "Bearer sk-test")
    }
    if isinstance(outcome, type):
        error = engine.error()
        assert isinstance(error, outcome)
        if issubclass(outcome, ex.KorvaneError):  # the SDK's errors name the call
            assert (error.method, error.url) == ("GET", "http://api.test/api/v1/tenants/t1")
    else:
        assert engine.result() == outcome


def test_replaced_request_goes_to_finish_and_an_awaitable_answer_is_read():
    answer = {"data": [{"id": "mod-1", "name": "Model"}]}

    class Replaced(KorvaneClient):
        def _request(self, **kwargs):
            self.kwargs = kwargs
            return self.give

    client = Replaced(api_key="k")
    client.give = answer
    engine = _CallEngine.list_models(client)
    assert (engine.start(), engine.send(), client.kwargs) == ("send", answer, {"method": "GET", "path": "/v1/models"})
    assert engine.answered(answer) == "result"
    assert [m.id for m in engine.result()] == ["mod-1"]

    async def later():
        return answer

    pending = later()
    client.give = pending
    engine = _CallEngine.list_models(client, awaited=True)
    engine.start()
    assert engine.answered(engine.send()) == "read" and engine.awaiting() is pending
    pending.close()
    assert engine.answered(answer) == "result" and [m.id for m in engine.result()] == ["mod-1"]


def test_an_unexpected_answer_is_named_as_the_call():
    client = client_with()
    engine = _CallEngine.list_models(client)
    engine.start()
    engine.send()
    assert engine.answered(Answer(200, ["not", "an", "object"])) == "raise"
    error = engine.error()
    assert isinstance(error, ex.KorvaneError) and "GET /v1/models" in str(error)


def test_events_out_of_turn_are_refused():
    engine = _CallEngine.request(client_with(), "GET", "/x")
    engine.start()
    with pytest.raises(RuntimeError, match="did not ask"):
        engine.paused()
