"""Hooks, default headers and query, a rotating key and raw answers, through both clients: what each
attempt sends (seen by the stand-in or a wire server) and what the application is shown."""

import asyncio
import itertools
import re

import pytest
from korvane_sdk import Korvane
from korvane_sdk.aio import AsyncKorvane
from support.emulator import ADMIN_KEY
from werkzeug import Response

CHAT = {"model": "korvane-1", "messages": [{"role": "user", "content": "hello there"}]}
REQUEST_ID = re.compile(r"req_\d+")


def whole(client):
    return client.tenants.list()


def streamed(client):
    return list(client.chat.completions.create(**CHAT, stream=True))


CALLS = [pytest.param(whole, id="whole"), pytest.param(streamed, id="stream")]


class Seen:
    """Hooks that note what they are shown."""

    def __init__(self):
        self.requests, self.responses = [], []

    def hooks(self):
        return {"request": [self.requests.append], "response": [self.responses.append]}


@pytest.fixture
def on_wire(httpserver, new_client):
    """Makes a client of this case's kind for a wire server that records each request."""
    base = httpserver.url_for("").rstrip("/")

    def make(**options):
        client = new_client(**({"api_url": base, "proxy_url": base, "timeout": 5} | options))
        client._sleep = lambda seconds: None
        return client

    return make


def answers(httpserver, *statuses):
    """The wire server answers the tenants list with these statuses in turn."""
    for status in statuses:
        body = "[]" if status == 200 else '{"error": "busy"}'
        headers = {"Retry-After": "0"} if status == 429 else {}
        httpserver.expect_ordered_request("/api/v1/tenants").respond_with_response(
            Response(body, status=status, headers=headers, content_type="application/json")
        )


def sent_headers(httpserver):
    return [request.headers for request, _ in httpserver.log]


@pytest.mark.parametrize("call", CALLS)
def test_hooks_see_every_attempt_of_a_busy_paused_call(emulator, on_emulator, call):
    seen = Seen()
    client = on_emulator(hooks=seen.hooks(), retry_on_busy=True)
    emulator.inject_rate_limit(times=1, retry_after="0")
    call(client)
    assert [r.attempt for r in seen.requests] == [0, 1]
    assert [r.status_code for r in seen.responses] == [429, 200]
    assert [r.request for r in seen.responses] == seen.requests
    ids = [r.request_id for r in seen.responses]
    assert all(REQUEST_ID.fullmatch(i) for i in ids) and ids[0] != ids[1]
    assert all(r.elapsed >= 0 for r in seen.responses)


def test_hooks_see_the_attempt_repeated_after_a_transport_failure(emulator, on_emulator):
    seen = Seen()
    client = on_emulator(hooks=seen.hooks(), timeout=0.3)
    emulator.inject_delay(2, times=1)
    whole(client)
    assert [r.attempt for r in seen.requests] == [0, 1]  # the timed-out attempt was shown too
    assert [r.status_code for r in seen.responses] == [200]


@pytest.mark.parametrize("call", CALLS)
def test_a_header_a_hook_sets_reaches_the_stand_in(on_emulator, call):
    def authorize(request):
        request.headers["Authorization"] = f"Bearer {ADMIN_KEY}"

    call(on_emulator(api_key="sk-wrong", hooks={"request": authorize}))  # the stand-in refuses sk-wrong


def test_hook_headers_are_the_attempts_own(httpserver, on_wire):
    answers(httpserver, 429, 200)
    counter = itertools.count()

    def tag(request):
        assert "X-Attempt" not in request.headers  # nothing carried over from the attempt before
        request.headers["X-Attempt"] = str(next(counter))

    on_wire(api_key="sk-1", hooks={"request": [tag]}, retry_on_busy=True).tenants.list()
    assert [h["X-Attempt"] for h in sent_headers(httpserver)] == ["0", "1"]


def test_defaults_reach_the_wire_and_give_way_where_documented(httpserver, on_wire):
    answers(httpserver, 200)
    client = on_wire(
        api_key="sk-own",
        default_headers={"X-Team": "blue", "user-agent": "mine/1", "Authorization": "Bearer sk-default"},
        default_query={"region": "eu", "limit": 5},
    )
    client.tenants.list(limit=7)
    (request, _), *_ = httpserver.log
    assert request.headers["X-Team"] == "blue"
    assert request.headers["User-Agent"] == "mine/1"  # a default replaces the SDK's own
    assert request.headers["Authorization"] == "Bearer sk-own"  # ... but not the client's key
    assert request.args["region"] == "eu" and request.args["limit"] == "7"  # the call's own value wins


def test_a_default_authorization_is_sent_without_a_key(httpserver, on_wire):
    answers(httpserver, 200)
    on_wire(default_headers={"Authorization": "Token abc"}).tenants.list()
    assert sent_headers(httpserver)[0]["Authorization"] == "Token abc"


def test_a_rotating_key_is_asked_and_sent_per_attempt(httpserver, on_wire):
    answers(httpserver, 429, 503, 200)
    keys = iter(["sk-a", "sk-b", "sk-c"])
    on_wire(api_key=lambda: next(keys), retry_on_busy=True).tenants.list()
    assert [h["Authorization"] for h in sent_headers(httpserver)] == ["Bearer sk-a", "Bearer sk-b", "Bearer sk-c"]


def broken_key():
    raise LookupError("vault sealed")


@pytest.mark.parametrize(
    "key, error",
    [(broken_key, LookupError), (lambda: 42, TypeError), (lambda: "", ValueError), (lambda: "a\r\nX: y", ValueError)],
    ids=["raises", "not-text", "empty", "header-injection"],
)
def test_a_failing_key_source_fails_the_call_with_nothing_sent(httpserver, on_wire, key, error):
    with pytest.raises(error):
        on_wire(api_key=key).tenants.list()
    assert httpserver.log == []


class HookFailed(Exception):
    pass


def fail(_seen):
    raise HookFailed


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("event, sent", [("request", 0), ("response", 1)])
def test_a_hook_that_raises_fails_the_call_and_nothing_more_is_sent(emulator, on_emulator, call, event, sent):
    client = on_emulator(hooks={event: [fail]}, retry_on_busy=True, max_retries=3)
    with pytest.raises(HookFailed):
        call(client)
    assert emulator.counters()["requests"] == sent
    whole(client.with_options(hooks={}))  # the connection was given back: the client goes on


@pytest.mark.parametrize(
    "settings, error",
    [
        ({"hooks": [print]}, TypeError),
        ({"hooks": {"answer": [print]}}, ValueError),
        ({"hooks": {"request": [1]}}, TypeError),
        ({"hooks": {"request": "print"}}, TypeError),
        ({"default_headers": {"X-A": 1}}, TypeError),
        ({"default_headers": {"X-A": "1\r\nX-B: 2"}}, ValueError),
        ({"default_headers": ["X-A"]}, TypeError),
        ({"default_query": {"a": object()}}, TypeError),
        ({"default_query": {"a": True}}, TypeError),
    ],
)
@pytest.mark.parametrize("cls", [Korvane, AsyncKorvane])
def test_bad_settings_are_refused_at_construction(cls, settings, error):
    with pytest.raises(error):
        cls(api_url="http://127.0.0.1:9", **settings)
    with pytest.raises(error):
        cls(api_url="http://127.0.0.1:9").with_options(**settings)


def test_settings_are_read_only_and_carried_over_by_with_options(on_emulator):
    seen = Seen()
    client = on_emulator(hooks=seen.hooks(), default_headers={"X-Team": "blue"})
    with pytest.raises(TypeError):
        client.default_headers["X-Other"] = "x"  # a change would never be sent: refused instead
    copy = client.with_options(timeout=9)
    assert (copy.hooks, copy.default_headers) == (client.hooks, client.default_headers)
    whole(copy)
    assert len(seen.requests) == 1
    whole(copy.with_options(hooks=None))
    assert len(seen.requests) == 1


def test_raw_answers_carry_the_request_id_and_parse_to_the_usual_result(on_emulator):
    client = on_emulator()
    client.tenants.create("Acme")
    listed = client.with_raw_response.tenants.list()
    assert listed.status_code == 200 and REQUEST_ID.fullmatch(listed.request_id)
    assert listed.headers["X-Request-Id"] == listed.request_id
    assert listed.parse() == client.tenants.list()
    completion = client.with_raw_response.chat.completions.create(**CHAT)
    assert completion.request_id != listed.request_id
    assert type(completion.parse()) is type(client.chat.completions.create(**CHAT))
    assert REQUEST_ID.fullmatch(client.with_raw_response.list_models().request_id)


def test_raw_answers_of_a_busy_paused_call_are_the_last_attempts(emulator, on_emulator):
    seen = Seen()
    client = on_emulator(hooks=seen.hooks(), retry_on_busy=True)
    emulator.inject_rate_limit(times=1, retry_after="0")
    raw = client.with_raw_response.tenants.list()
    assert raw.request_id == seen.responses[-1].request_id  # the application's hooks still run


def test_a_stream_names_its_request_id_once_sent(on_emulator):
    client = on_emulator()
    with pytest.raises(TypeError):
        client.with_raw_response.chat.completions.create(**CHAT, stream=True)
    stream = client.chat.completions.create(**CHAT, stream=True)
    target = getattr(stream, "_target", stream)  # the async stream behind the test facade
    assert target.request_id is None  # nothing sent before the first pull
    next(stream)
    assert REQUEST_ID.fullmatch(target.request_id)
    stream.close()


def test_async_hooks_and_key_source_are_awaited(emulator):
    seen = []

    async def key():
        await asyncio.sleep(0)
        return ADMIN_KEY

    async def note(answer):
        await asyncio.sleep(0)
        seen.append(answer.status_code)

    async def main():
        async with AsyncKorvane(
            api_key=key, api_url=emulator.url, proxy_url=emulator.url, hooks={"response": [note]}
        ) as client:
            await client.tenants.list()
            async for _ in await client.chat.completions.create(**CHAT, stream=True):
                pass
            raw = await client.with_raw_response.tenants.list()
        return raw

    raw = asyncio.run(main())
    assert seen == [200, 200, 200] and REQUEST_ID.fullmatch(raw.request_id)
