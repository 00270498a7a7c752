"""Errors from answers carry the exchange: method, URL (never the key), headers, request id, body."""

import pickle
import socket

import pytest
from korvane_sdk import Korvane
from korvane_sdk import exceptions as ex
from werkzeug import Response

KEY = "sk-never-shown-1234"


@pytest.fixture
def client(httpserver):
    base = httpserver.url_for("").rstrip("/")
    with Korvane(api_key=KEY, api_url=base, proxy_url=base, max_retries=1) as made:
        yield made


def not_found(httpserver, path, body=b'{"detail": "Tenant not found", "error_code": "NOT_FOUND"}'):
    httpserver.expect_request(path).respond_with_response(
        Response(body, status=404, content_type="application/json", headers={"X-Request-Id": "req_42"})
    )


@pytest.mark.parametrize("call", [lambda c: c.tenants.get("nope"), lambda c: c.tenants.list()], ids=["record", "list"])
def test_answer_error_names_the_exchange(client, httpserver, call):
    path = "/api/v1/tenants/nope" if "get" in repr(call.__code__.co_names) else "/api/v1/tenants"
    not_found(httpserver, path)
    with pytest.raises(ex.NotFoundError) as caught:
        call(client)
    error = caught.value
    assert str(error) == "Tenant not found [NOT_FOUND] (HTTP 404)"  # the text form is unchanged
    assert error.method == "GET" and error.url == client.api_url + path
    assert error.request_id == "req_42" and error.headers["X-Request-Id"] == "req_42"
    assert "Tenant not found" in error.body
    assert error.__notes__ == [f"GET {client.api_url}{path}: HTTP 404, request id req_42"]
    everything = repr(vars(error)) + str(error) + repr(error)
    assert KEY not in everything

    copy = pickle.loads(pickle.dumps(error))
    assert (copy.method, copy.url, copy.request_id, copy.headers, copy.body, copy.__notes__) == (
        error.method,
        error.url,
        error.request_id,
        error.headers,
        error.body,
        error.__notes__,
    )


def test_body_is_bounded_and_url_loses_user_information(httpserver):
    not_found(httpserver, "/api/v1/tenants/big", body=b"x" * 200_000)
    base = httpserver.url_for("").rstrip("/").replace("://", "://user:secret@")
    with Korvane(api_key=KEY, api_url=base, max_retries=1) as client:
        with pytest.raises(ex.NotFoundError) as caught:
            client.tenants.get("big")
    assert len(caught.value.body) == 64 * 1024
    assert "secret" not in caught.value.url and "secret" not in caught.value.__notes__[0]
    assert caught.value.url.endswith("/api/v1/tenants/big")


def test_streamed_refusal_and_transport_failure(client, httpserver):
    httpserver.expect_request("/v1/chat/completions").respond_with_json({"detail": "bad key"}, status=401)
    stream = client.chat.completions.create(model="m", messages=[], stream=True)
    with pytest.raises(ex.AuthenticationError) as caught:
        next(stream)
    assert (caught.value.method, caught.value.url) == ("POST", client.proxy_url + "/v1/chat/completions")

    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]  # bound, not listening: connections are refused
        with Korvane(api_key=KEY, api_url=f"http://127.0.0.1:{port}", max_retries=2) as refused:
            with pytest.raises(ex.ConnectionError) as failed:
                refused.tenants.list()
    assert failed.value.method == "GET" and failed.value.url.endswith("/api/v1/tenants")
    assert failed.value.headers is None and failed.value.request_id is None


def test_errors_made_by_callers_have_no_context():
    error = ex.RateLimitError(retry_after=3)
    assert (error.method, error.url, error.request_id, error.headers, error.body) == (None,) * 5
