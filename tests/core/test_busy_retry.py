"""Opt-in repeats of busy answers (408, 409, 429, 5xx) with backoff; pauses observed through an injected sleep."""

import pytest
from korvane_sdk import Korvane
from korvane_sdk import exceptions as ex
from werkzeug import Response

PATH = "/api/v1/tenants/t1"
TENANT = {"id": "t1", "name": "Acme", "slug": "acme", "created_at": "2024-01-15T10:30:00Z"}


@pytest.fixture
def make_client(httpserver):
    made = []

    def make(**options):
        base = httpserver.url_for("").rstrip("/")
        client = Korvane(api_key="k", api_url=base, proxy_url=base, **options)
        client.pauses = []
        client._sleep = client.pauses.append  # no real waiting
        client._random = lambda: 0.5
        made.append(client)
        return client

    yield make
    for client in made:
        client.close()


def answer(httpserver, status, headers=None, path=PATH, body=None):
    httpserver.expect_ordered_request(path).respond_with_response(
        Response(body or '{"detail": "busy"}', status=status, headers=headers or {}, content_type="application/json")
    )


def test_off_by_default_a_busy_answer_is_raised_at_once(make_client, httpserver):
    answer(httpserver, 503)
    client = make_client()
    with pytest.raises(ex.ServerError):
        client.tenants.get("t1")
    assert len(httpserver.log) == 1 and client.pauses == []


def test_busy_answers_repeat_with_backoff_and_retry_after(make_client, httpserver):
    answer(httpserver, 503)
    answer(httpserver, 429, {"Retry-After": "2"})
    answer(httpserver, 408)
    answer(httpserver, 200, body='{"id": "t1", "name": "Acme", "slug": "acme", "created_at": 0}')
    client = make_client(retry_on_busy=True, max_retries=4, backoff_base=1.0)
    assert client.tenants.get("t1").id == "t1"
    # jitter 0.5 of ceilings 1, (Retry-After 2 honoured as given), 4
    assert client.pauses == [0.5, 2.0, 2.0]


def test_backoff_ceiling_and_capped_retry_after(make_client, httpserver):
    for _ in range(3):
        answer(httpserver, 500)
    answer(httpserver, 409, {"Retry-After": "3600"})
    client = make_client(retry_on_busy=True, max_retries=4, backoff_base=2.0, backoff_max=3.0, retry_after_max=10)
    client._random = lambda: 1.0
    with pytest.raises(ex.KorvaneError) as caught:
        client.tenants.get("t1")
    assert caught.value.http_status == 409  # the last answer's error: max_retries counts attempts in all
    assert client.pauses == [2.0, 3.0, 3.0] and len(httpserver.log) == 4
    answer(httpserver, 429, {"Retry-After": "3600"})
    answer(httpserver, 200, body='{"id": "t1", "name": "A", "slug": "a", "created_at": 0}')
    client.pauses.clear()
    client.tenants.get("t1")
    assert client.pauses == [10.0]


@pytest.mark.parametrize(
    "status, error", [(400, ex.InvalidRequestError), (401, ex.AuthenticationError), (404, ex.NotFoundError)]
)
def test_other_failures_are_not_repeated(make_client, httpserver, status, error):
    answer(httpserver, status)
    client = make_client(retry_on_busy=True)
    with pytest.raises(error):
        client.tenants.get("t1")
    assert len(httpserver.log) == 1 and client.pauses == []


def test_stream_is_repeated_only_before_it_delivers(make_client, httpserver):
    answer(httpserver, 503, path="/v1/chat/completions")
    httpserver.expect_ordered_request("/v1/chat/completions").respond_with_data(
        'data: {"id": "s1", "choices": []}\n\ndata: [DONE]\n\n', content_type="text/event-stream"
    )
    client = make_client().with_options(retry_on_busy=True)
    client.pauses = []
    client._sleep, client._random = client.pauses.append, (lambda: 1.0)
    assert [c.id for c in client.chat.completions.create(model="m", messages=[], stream=True)] == ["s1"]
    assert client.pauses == [0.5] and len(httpserver.log) == 2
