"""client.with_options(**changes): a client configured like this one, with the given settings changed."""

import socket

import pytest
from korvane_sdk import KorvaneClient
from korvane_sdk.exceptions import TimeoutError as KorvaneTimeoutError

ANSWER = {"id": "c1", "created": 1, "model": "m", "choices": []}


@pytest.fixture
def client(httpserver, new_client):
    base = httpserver.url_for("").rstrip("/")
    with new_client(api_key="sk-one", api_url=base, proxy_url=base, timeout=30, max_retries=2) as made:
        yield made


@pytest.mark.blocking_only  # its identity checks see the facade; tests/aio checks the async copy
def test_changed_settings_and_copied_ones(client, monkeypatch):
    monkeypatch.setenv("KORVANE_API_KEY", "sk-from-environment")
    monkeypatch.setenv("KORVANE_API_URL", "https://environment.example")
    copy = client.with_options(timeout=0.5, proxy_url="http://proxy.example//")
    assert type(copy) is KorvaneClient and copy is not client
    assert copy.timeout == 0.5 and client.timeout == 30
    assert copy.proxy_url == "http://proxy.example"  # the constructor's rule for URLs
    # Unchanged settings are copied as they stand: the environment is not read again.
    assert (copy.api_key, copy.api_url, copy.max_retries, copy.verify_ssl) == ("sk-one", client.api_url, 2, True)
    assert copy.chat.completions._client is copy and copy.training._client is copy


def test_unknown_option_is_refused(client):
    with pytest.raises(TypeError, match="unexpected keyword argument 'temperature'"):
        client.with_options(temperature=0.2)
    with pytest.raises(TypeError):
        client.with_options("sk-positional")


def test_subclass_and_session_settings_carry_over(httpserver):
    class Tuned(KorvaneClient):
        DEFAULT_API_URL = "https://tuned.example"

    client = Tuned(api_key="k")
    client._session.verify = "/etc/ssl/certs/custom-ca.pem"
    client._session.max_body_size = 1024
    copy = client.with_options(max_retries=5)
    assert isinstance(copy, Tuned) and copy.api_url == "https://tuned.example"
    assert copy._session is client._session  # shared, with its settings
    unverified = client.with_options(verify_ssl=False)._session
    assert unverified is not client._session and unverified.verify is False and unverified.max_body_size == 1024
    client.close()
    copy.close()
    # A copy of a closed client opens a session of its own, with the same settings.
    reopened = copy.with_options(timeout=1)._session
    assert reopened is not copy._session
    assert reopened.verify == "/etc/ssl/certs/custom-ca.pem" and reopened.max_body_size == 1024


def test_calls_through_the_copy_and_closing_one_leaves_the_other(client, httpserver):
    httpserver.expect_request("/v1/chat/completions", headers={"Authorization": "Bearer sk-one"}).respond_with_json(
        ANSWER
    )
    copy = client.with_options(timeout=5)
    assert copy.chat.completions.create(model="m", messages=[{"role": "user", "content": "hi"}]).id == "c1"
    copy.close()
    assert client.chat.completions.create(model="m", messages=[]).id == "c1"
    keyed = client.with_options(api_key="sk-two")
    client.close()
    httpserver.expect_request("/v1/models", headers={"Authorization": "Bearer sk-two"}).respond_with_json(
        {"data": [{"id": "m", "name": "M"}]}
    )
    assert [m.id for m in keyed.list_models()] == ["m"]
    keyed.close()


def test_timeout_of_the_copy_is_the_one_used(new_client):
    # A listener that never answers: the connection is accepted by the kernel, no byte comes back.
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)
        base = "http://127.0.0.1:%d" % silent.getsockname()[1]
        with new_client(api_key="k", api_url=base, timeout=30) as client:
            with pytest.raises(KorvaneTimeoutError, match="after 0.2s"):
                client.with_options(timeout=0.2, max_retries=1).tenants.list()
