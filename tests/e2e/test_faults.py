"""Platform faults reach the caller as the documented errors, and the client stays usable."""

import pytest
from korvane_sdk import exceptions as ex
from korvane_sdk import http
from support.emulator import ADMIN_KEY


def test_rate_limit_reaches_the_caller_once(client, emulator, faults):
    faults(rate_limit={"times": 1, "retry_after": "2"})
    with pytest.raises(ex.RateLimitError) as caught:
        client.list_models()
    assert caught.value.retry_after == 2 and caught.value.http_status == 429
    assert emulator.requests() == 1
    assert client.list_models()


def test_server_errors_keep_their_status(client, faults):
    faults(server_error={"times": 1, "status": 503})
    with pytest.raises(ex.ServerError) as caught:
        client.tenants.list()
    assert caught.value.http_status == 503
    assert client.tenants.list() == []


def test_slow_answers_time_out_after_every_attempt(emulator, faults, new_client):
    faults(delay={"times": 2, "seconds": 1.0})
    with new_client(
        api_key=ADMIN_KEY, api_url=emulator.url, proxy_url=emulator.url, timeout=0.3, max_retries=2
    ) as client:
        with pytest.raises(ex.TimeoutError, match="Request timed out after 0.3s"):
            client.tenants.list()
        assert client.tenants.list() == []
    assert emulator.requests("/api/v1/tenants") == 3


def test_dropped_stream_raises_from_the_pull(client, faults):
    faults(drop_stream={"times": 1, "after_chunks": 3})
    model = client.list_models()[0].id
    stream = client.chat.completions.create(
        model=model, messages=[{"role": "user", "content": "a b c d e f g"}], stream=True
    )
    received = []
    with pytest.raises(http.RequestException):
        for chunk in stream:
            received.append(chunk)
    assert len(received) == 3
    assert client.chat.completions.create(model=model, messages=[{"role": "user", "content": "again"}]).choices


def test_wrong_key_is_an_authentication_error(emulator, new_client):
    with new_client(api_key="sk-wrong", api_url=emulator.url, proxy_url=emulator.url) as client:
        with pytest.raises(ex.AuthenticationError) as caught:
            client.list_models()
    assert caught.value.details == {"status_code": 401}
