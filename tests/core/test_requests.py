"""Request execution on the wire: routing, headers, attempts, transport failures, streams."""

import json

import pytest
from korvane_sdk import KorvaneClient, http
from korvane_sdk import exceptions as ex
from rawserver import SilentServer, closed_port_url
from werkzeug import Response


@pytest.fixture
def client(httpserver):
    base = httpserver.url_for("").rstrip("/")
    with KorvaneClient(api_key="sk-test", api_url=base + "/api-host", proxy_url=base + "/proxy-host", timeout=2) as c:
        yield c


@pytest.mark.parametrize(
    "path, host",
    [
        ("/v1/models", "proxy"),
        ("/v1/chat/completions", "proxy"),
        ("/v1/chatter", "proxy"),
        ("/api/v1/tenants", "api"),
        ("/v2/chat", "api"),
    ],
)
def test_routing(client, httpserver, path, host):
    httpserver.expect_request(f"/{host}-host{path}").respond_with_json({"ok": True})
    assert client._request(method="GET", path=path) == {"ok": True}
    assert client._get_base_url(path).endswith(f"/{host}-host")


def test_headers_query_and_body(client, httpserver):
    httpserver.expect_request(
        "/api-host/api/v1/x",
        method="PATCH",
        query_string="limit=5&tag=a&tag=b&flag=True&q=a+b%26c",
    ).respond_with_json([1, 2])
    body = {"name": "ü", "n": None, "nested": {"a": [1.5, True]}}
    params = {"limit": 5, "skip": None, "tag": ["a", "b"], "flag": True, "q": "a b&c"}
    assert client._request(method="PATCH", path="/api/v1/x", params=params, json=body) == [1, 2]
    request, _ = httpserver.log[0]
    assert request.headers["Content-Type"] == "application/json"
    assert request.headers["User-Agent"] == "korvane-sdk-python/1.0.0"
    assert request.headers["Authorization"] == "Bearer sk-test"
    assert json.loads(request.get_data()) == body


def test_no_key_no_authorization(client, httpserver):
    client.api_key = None
    httpserver.expect_request("/proxy-host/v1/models").respond_with_json({})
    client._request(method="GET", path="/v1/models")
    assert "Authorization" not in httpserver.log[0][0].headers
    assert client._get_headers() == {"Content-Type": "application/json", "User-Agent": "korvane-sdk-python/1.0.0"}


def test_upload_replaces_json_content_type(client, httpserver, tmp_path):
    path = tmp_path / "data.jsonl"
    path.write_bytes(b'{"a": 1}\n')
    httpserver.expect_request("/api-host/up", method="POST").respond_with_json({"ok": 1})
    with open(path, "rb") as f:
        client._request(method="POST", path="/up", files={"file": f})
    request = httpserver.log[0][0]
    assert request.headers["Content-Type"].startswith("multipart/form-data; boundary=")
    assert request.files["file"].filename == "data.jsonl"
    assert request.files["file"].read() == b'{"a": 1}\n'


def test_empty_files_keeps_json_content_type(client, httpserver):
    httpserver.expect_request("/api-host/up").respond_with_json({})
    client._request(method="POST", path="/up", files={})
    assert httpserver.log[0][0].headers["Content-Type"] == "application/json"


@pytest.mark.parametrize("status, cls", [(503, ex.ServerError), (429, ex.RateLimitError), (500, ex.ServerError)])
def test_failure_statuses_are_not_sent_again(client, httpserver, status, cls):
    httpserver.expect_request("/api-host/x").respond_with_data("busy", status=status)
    with pytest.raises(cls):
        client._request(method="GET", path="/x")
    assert len(httpserver.log) == 1


def test_timeouts_use_every_attempt_then_report_the_timeout():
    server = SilentServer()
    try:
        client = KorvaneClient(api_url=server.url, timeout=0.2)
        with pytest.raises(ex.TimeoutError) as caught:
            client._request(method="GET", path="/api/v1/tenants")
        assert caught.value.message == "Request timed out after 0.2s"
        assert caught.value.error_code == "TIMEOUT"
        assert len(server.connections) == 3
        client.max_retries = 1
        with pytest.raises(ex.TimeoutError):
            client._request(method="GET", path="/api/v1/tenants")
        assert len(server.connections) == 4
    finally:
        server.close()


def test_refused_connections_become_connection_errors():
    client = KorvaneClient(api_url=closed_port_url(), timeout=1)
    with pytest.raises(ex.ConnectionError) as caught:
        client._request(method="GET", path="/api/v1/tenants")
    assert caught.value.message.startswith("Connection error: ")
    assert len(caught.value.message) > len("Connection error: ")
    assert not isinstance(caught.value, ConnectionError)


class ScriptedSession:
    """Raises the scripted failures in turn, recording what each attempt sent."""

    def __init__(self, *failures):
        self.failures = list(failures)
        self.calls = []

    def request(self, **kwargs):
        self.calls.append(kwargs)
        raise self.failures.pop(0)

    def close(self):
        pass


def test_last_attempt_decides_the_error():
    client = KorvaneClient(api_url="https://api.example")
    client._session = session = ScriptedSession(
        http.ReadTimeout("read timed out"), http.ConnectionError("refused 1"), http.ConnectionError("refused 2")
    )
    with pytest.raises(ex.ConnectionError) as caught:
        client._request(method="GET", path="/api/v1/x", params={"a": 1})
    assert caught.value.message == "Connection error: refused 2"
    assert len(session.calls) == 3
    assert session.calls[0] == {
        "method": "GET",
        "url": "https://api.example/api/v1/x",
        "params": {"a": 1},
        "json": None,
        "files": None,
        "headers": client._get_headers(),
        "timeout": 60,
    }


@pytest.mark.parametrize(
    "failure, cls, message",
    [
        (http.ConnectTimeout("connect timed out"), ex.TimeoutError, "Request timed out after 60s"),
        (http.InvalidURL("bad url"), ex.KorvaneError, "Request failed: bad url"),
        (http.ChunkedEncodingError(""), ex.KorvaneError, "Request failed: "),
    ],
)
def test_transport_failure_classes(failure, cls, message):
    client = KorvaneClient(max_retries=1)
    client._session = ScriptedSession(failure)
    with pytest.raises(ex.KorvaneError) as caught:
        client._request(method="GET", path="/x")
    assert type(caught.value) is cls and caught.value.message == message
    assert caught.value.http_status is None and caught.value.details == {}


def test_other_exceptions_leave_at_once():
    client = KorvaneClient()
    client._session = session = ScriptedSession(KeyError("boom"), http.ConnectionError("x"))
    with pytest.raises(KeyError):
        client._request(method="GET", path="/x")
    assert len(session.calls) == 1


@pytest.mark.parametrize("attempts", [0, -1, "3", None, True])
def test_unusable_attempt_count_sends_nothing(attempts):
    client = KorvaneClient(max_retries=attempts)
    client._session = session = ScriptedSession()
    with pytest.raises(ex.KorvaneError) as caught:
        client._request(method="GET", path="/x")
    assert caught.value.error_code == "INVALID_CONFIGURATION"
    assert session.calls == []


def test_settings_are_read_at_each_request(client, httpserver):
    httpserver.expect_request("/api-host/x").respond_with_json({})
    client.timeout = 7
    client._session = session = ScriptedSession(http.Timeout("t"))
    client.max_retries = 1
    with pytest.raises(ex.TimeoutError, match="after 7s"):
        client._request(method="GET", path="/x")
    assert session.calls[0]["timeout"] == 7


def test_closed_client_sends_nothing(client, httpserver):
    httpserver.expect_request("/api-host/x").respond_with_json({})
    client.close()
    client.close()
    with pytest.raises(ex.KorvaneError, match="closed"):
        client._request(method="GET", path="/x")
    with pytest.raises(http.RequestException, match="closed"):
        client._request_stream(method="POST", path="/x")
    assert httpserver.log == []


def test_stream_checks_status_before_the_body(client, httpserver):
    httpserver.expect_request("/proxy-host/v1/chat/completions").respond_with_json({"detail": "who?"}, status=401)
    with pytest.raises(ex.AuthenticationError, match="who"):
        client._request_stream(method="POST", path="/v1/chat/completions", json={"a": 1})
    request = httpserver.log[0][0]
    assert request.headers["Content-Type"] == "application/json"


def test_stream_returns_the_open_answer(client, httpserver):
    httpserver.expect_request("/proxy-host/v1/chat/completions").respond_with_data("data: 1\n\ndata: [DONE]\n")
    response = client._request_stream(method="POST", path="/v1/chat/completions", json={})
    assert list(response.iter_lines()) == [b"data: 1", b"", b"data: [DONE]"]


def test_stream_transport_failure_is_the_layers_own():
    client = KorvaneClient(proxy_url=closed_port_url())
    with pytest.raises(http.ConnectionError):
        client._request_stream(method="POST", path="/v1/chat/completions", json={})


def test_list_models(client, httpserver):
    httpserver.expect_request("/proxy-host/v1/models").respond_with_json(
        {
            "object": "list",
            "data": [{"id": "m1", "name": "One", "extra": 1}, {"id": "m2", "name": "Two", "is_custom": True}],
        }
    )
    models = client.list_models()
    assert [(m.id, m.name, m.is_custom, m.context_length) for m in models] == [
        ("m1", "One", False, 4096),
        ("m2", "Two", True, 4096),
    ]


@pytest.mark.parametrize("answer", [{"data": []}, {"object": "list"}])
def test_list_models_empty(client, httpserver, answer):
    httpserver.expect_request("/proxy-host/v1/models").respond_with_json(answer)
    assert client.list_models() == []


@pytest.mark.parametrize("body", ["[]", "plain text", '{"data": {"id": 1}}', '{"data": [1]}', '{"data": null}'])
def test_list_models_unexpected_answers(client, httpserver, body):
    httpserver.expect_request("/proxy-host/v1/models").respond_with_response(Response(body))
    with pytest.raises(ex.KorvaneError) as caught:
        client.list_models()
    assert caught.value.error_code == "UNEXPECTED_RESPONSE"
