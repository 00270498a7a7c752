"""The client's seam decides each call's route: the C++ route only while _request (and, for lists,
_handle_response) is this very client's own; anything else put in their place is called, whatever
the namespace and whatever it looks like."""

from unittest import mock

import pytest
from korvane_sdk import KorvaneClient

TENANT = {"id": "ten-1", "name": "Acme", "slug": "acme", "created_at": "2025-03-01T00:00:00Z"}
UNREACHABLE = "http://127.0.0.1:9"  # the discard port: nothing answers there


# One call of each kind the namespaces make: a single record, a list read straight into records,
# a whole chat completion and the client's own list_models.
CALLS = {
    "tenants.get": (lambda c: c.tenants.get("ten-1").id, "/api/v1/tenants/ten-1", TENANT, "ten-1"),
    "tenants.list": (lambda c: [t.id for t in c.tenants.list()], "/api/v1/tenants", {"tenants": [TENANT]}, ["ten-1"]),
    "chat": (
        lambda c: c.chat.completions.create("m", []).id,
        "/v1/chat/completions",
        {"id": "cc-1", "created": 1},
        "cc-1",
    ),
    "list_models": (
        lambda c: [m.id for m in c.list_models()],
        "/v1/models",
        {"data": [{"id": "mod-1", "name": "Model"}]},
        ["mod-1"],
    ),
}


def serving(httpserver, path, answer):
    httpserver.expect_request(path).respond_with_json(answer)
    url = httpserver.url_for("").rstrip("/")
    return KorvaneClient(api_key="sk-test", api_url=url, proxy_url=url, max_retries=1)


@pytest.mark.parametrize("name", list(CALLS))
def test_another_clients_request_is_not_taken_for_ours(httpserver, name):
    call, path, answer, expected = CALLS[name]
    with (
        serving(httpserver, path, answer) as other,
        KorvaneClient(api_key="sk-test", api_url=UNREACHABLE, proxy_url=UNREACHABLE, max_retries=1) as client,
    ):
        client._request = other._request  # the same function, bound to another client
        assert call(client) == expected
    assert len(httpserver.log) == 1


@pytest.mark.parametrize("name", list(CALLS))
def test_a_replacement_on_the_class_sees_every_call(httpserver, name):
    call, path, answer, expected = CALLS[name]
    own, seen = KorvaneClient._request, []

    def spy(self, **kwargs):
        seen.append(kwargs["path"])
        return own(self, **kwargs)

    with serving(httpserver, path, answer) as client, mock.patch.object(KorvaneClient, "_request", spy):
        assert call(client) == expected
    assert seen == [path]


@pytest.mark.parametrize("name", list(CALLS))
def test_something_that_only_looks_like_our_method_is_called(name):
    call, path, answer, expected = CALLS[name]
    client = KorvaneClient(api_key="sk-test", api_url=UNREACHABLE, proxy_url=UNREACHABLE, max_retries=1)

    class Lookalike:
        """Carries the attributes a bound method of ours has, without being one."""

        __func__ = KorvaneClient._request
        __self__ = client

        def __init__(self):
            self.paths = []

        def __call__(self, **kwargs):
            self.paths.append(kwargs["path"])
            return answer

    client._request = Lookalike()
    assert call(client) == expected
    assert client._request.paths == [path]


def test_another_clients_stream_is_not_taken_for_ours(httpserver):
    body = 'data: {"id": "s-1", "created": 1, "choices": []}\n\ndata: [DONE]\n\n'
    httpserver.expect_request("/v1/chat/completions").respond_with_data(body, content_type="text/event-stream")
    url = httpserver.url_for("").rstrip("/")
    with (
        KorvaneClient(api_key="sk-test", proxy_url=url) as other,
        KorvaneClient(api_key="sk-test", proxy_url=UNREACHABLE) as client,
    ):
        client._request_stream = other._request_stream
        assert [chunk.id for chunk in client.chat.completions.create("m", [], stream=True)] == ["s-1"]
    assert len(httpserver.log) == 1


def test_the_route_is_chosen_again_for_each_call(httpserver):
    with serving(httpserver, "/api/v1/tenants", [TENANT]) as client:
        assert [t.id for t in client.tenants.list()] == ["ten-1"]
        seen = []
        client._request = lambda **kwargs: seen.append(kwargs) or [dict(TENANT, id="replaced")]
        assert [t.id for t in client.tenants.list()] == ["replaced"]
        del client._request
        assert [t.id for t in client.tenants.list()] == ["ten-1"]
    assert [kwargs["path"] for kwargs in seen] == ["/api/v1/tenants"]
    assert len(httpserver.log) == 2


def test_handle_response_replaced_on_the_class_is_called_for_lists(httpserver):
    own, seen = KorvaneClient._handle_response, []

    def spy(self, response, raw=False):
        seen.append(response.status_code)
        return own(self, response, raw)

    with (
        serving(httpserver, "/api/v1/tenants", {"tenants": [TENANT]}) as client,
        mock.patch.object(KorvaneClient, "_handle_response", spy),
    ):
        assert [t.id for t in client.tenants.list()] == ["ten-1"]
    assert seen == [200]


def test_a_session_replaced_after_the_first_call_is_used(httpserver):
    class Session:
        def __init__(self):
            self.urls = []

        def request(self, **kwargs):
            self.urls.append(kwargs["url"])
            raise ConnectionRefusedError("offline")

        def close(self):
            pass

    with serving(httpserver, "/api/v1/tenants/ten-1", TENANT) as client:
        assert client.tenants.get("ten-1").id == "ten-1"
        client._session = Session()
        with pytest.raises(ConnectionRefusedError):
            client.tenants.get("ten-1")
    assert client._session.urls == [httpserver.url_for("/api/v1/tenants/ten-1")]
