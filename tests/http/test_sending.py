"""What goes on the wire: URL and query encoding, methods, bodies, headers, redirects."""

import json

import pytest
from korvane_sdk.http import InvalidHeader, InvalidURL, RequestException, Session, SessionClosedError
from rawserver import keep_alive
from werkzeug import Response as WerkzeugResponse


def last_request(httpserver):
    return httpserver.log[-1][0]


@pytest.mark.parametrize(
    "params, expected",
    [
        ({"a": 1, "b": None}, "a=1"),
        ({"flag": True, "off": False}, "flag=True&off=False"),
        ({"tag": ["x", "y", None, "z"]}, "tag=x&tag=y&tag=z"),
        ({"q": "a b&c=d/é"}, "q=a+b%26c%3Dd%2F%C3%A9"),
        ({"n": 1.5, "t": ("p", 2)}, "n=1.5&t=p&t=2"),
        ([("k", "1"), ("k", "2")], "k=1&k=2"),
        ({"empty": ""}, "empty="),
        ({"only": None}, ""),
        ("raw=1&x=a b", "raw=1&x=a%20b"),
    ],
)
def test_query_encoding(httpserver, session, params, expected):
    httpserver.expect_request("/q").respond_with_data("ok")
    session.request("GET", httpserver.url_for("/q"), params=params)
    assert last_request(httpserver).query_string.decode() == expected


def test_query_appended_to_existing_query_before_fragment(raw_server, session):
    server = raw_server(keep_alive())
    session.request("GET", server.url + "/p?x=1#frag", params={"y": 2})
    assert server.requests[0].split(b"\r\n")[0] == b"GET /p?x=1&y=2 HTTP/1.1"


@pytest.mark.parametrize(
    "path, sent",
    [
        ("/a b", b"/a%20b"),
        ("/caf\u00e9", b"/caf%C3%A9"),
        ("/tab\there", b"/tab%09here"),
        ("/q?x=<y>", b"/q?x=%3Cy%3E"),
        ("/already%20done", b"/already%20done"),
        ("/bad%zz", b"/bad%25zz"),
        ("/keep/!$&'()*+,;=:@~", b"/keep/!$&'()*+,;=:@~"),
        # sent as given: no dot-segment is squashed away
        ("/a/../b", b"/a/../b"),
        ("/a/./b/..", b"/a/./b/.."),
        ("/a/%2E%2E/b", b"/a/%2E%2E/b"),
    ],
)
def test_url_bytes_are_escaped_never_sent_raw(raw_server, session, path, sent):
    server = raw_server(keep_alive())
    session.request("GET", server.url + path)
    assert server.requests[0].split(b"\r\n")[0] == b"GET " + sent + b" HTTP/1.1"


@pytest.mark.parametrize("url", ["ftp://127.0.0.1/x", "no-scheme", "http://", "http://exa mple.com/"])
def test_invalid_urls_are_refused(session, url):
    with pytest.raises(InvalidURL) as info:
        session.request("GET", url)
    assert isinstance(info.value, ValueError) and str(info.value)


def test_json_body_and_default_headers(httpserver, session):
    httpserver.expect_request("/j", method="POST").respond_with_data("ok")
    session.request("POST", httpserver.url_for("/j"), json={"b": [1, 2.5, None, True], "t": "\u00e9"})
    request = last_request(httpserver)
    assert json.loads(request.data) == {"b": [1, 2.5, None, True], "t": "\u00e9"}
    assert request.headers["Content-Type"] == "application/json"
    assert request.headers["Accept"] == "*/*"
    assert "gzip" in request.headers["Accept-Encoding"]
    assert "Expect" not in request.headers


def test_caller_headers_win_over_defaults(httpserver, session):
    httpserver.expect_request("/h").respond_with_data("ok")
    headers = {"Content-Type": "text/x", "User-Agent": "ua/1", "X-Empty": "", "X-Gone": None}
    session.request("PATCH", httpserver.url_for("/h"), json={}, headers=headers)
    request = last_request(httpserver)
    assert request.method == "PATCH"
    assert request.headers["Content-Type"] == "text/x"
    assert request.headers["User-Agent"] == "ua/1"
    assert request.headers["X-Empty"] == ""
    assert "X-Gone" not in request.headers


@pytest.mark.parametrize(
    "method, body_length, has_type",
    [("GET", None, False), ("DELETE", "0", False), ("post", "0", False), ("PUT", "0", False)],
)
def test_methods_without_body(raw_server, session, method, body_length, has_type):
    server = raw_server(keep_alive())
    session.request(method, server.url + "/m")
    head = server.requests[0].split(b"\r\n\r\n")[0].decode().lower()
    assert head.startswith(method.lower() + " /m ")
    assert (f"content-length: {body_length}" in head) if body_length else ("content-length" not in head)
    assert ("content-type" in head) == has_type


def test_head_does_not_wait_for_a_body(raw_server, session):
    def handler(conn, server):
        server.receive(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")
        server.closed.wait(2)

    server = raw_server(handler)
    response = session.request("HEAD", server.url + "/", timeout=1)
    assert response.status_code == 200 and response.content == b""
    assert response.headers["content-length"] == "1000"


@pytest.mark.parametrize(
    "headers",
    [
        {"Authorization": "Bearer secret\r\nX-Injected: 1"},
        {"Authorization": "Bearer secret\n"},
        {"X-Key": b"secret\rvalue"},
        {"X-Key": "secret\x00"},
    ],
)
def test_header_values_with_line_breaks_are_refused_and_nothing_is_sent(raw_server, session, headers):
    server = raw_server(keep_alive())
    with pytest.raises(InvalidHeader) as info:
        session.request("GET", server.url + "/", headers=headers)
    assert "secret" not in str(info.value)
    assert isinstance(info.value, ValueError)
    assert server.connections == 0


@pytest.mark.parametrize("headers", [{"Bad Name": "x"}, {"X:Y": "x"}, {"": "x"}, {"X-Num": 5}])
def test_unusable_header_names_and_values_are_refused(raw_server, session, headers):
    server = raw_server(keep_alive())
    with pytest.raises(InvalidHeader):
        session.request("GET", server.url + "/", headers=headers)
    assert server.connections == 0


@pytest.mark.parametrize("method", ["GE T", "GET\r\n", ""])
def test_bad_methods_are_refused(session, method):
    with pytest.raises(ValueError):
        session.request(method, "http://127.0.0.1:9/")


def test_redirect_to_another_host_drops_authorization(httpserver, other_host, session):
    target = f"http://localhost:{other_host.port}/landing"
    httpserver.expect_request("/start").respond_with_response(
        WerkzeugResponse(status=302, headers={"Location": target})
    )
    other_host.expect_request("/landing").respond_with_data("here")
    response = session.request("GET", httpserver.url_for("/start"), headers={"Authorization": "Bearer k"})
    assert response.text == "here" and response.url == target
    assert "Authorization" in httpserver.log[-1][0].headers
    assert "Authorization" not in other_host.log[-1][0].headers


@pytest.mark.parametrize("status, method", [(301, "GET"), (302, "GET"), (303, "GET"), (307, "POST"), (308, "POST")])
def test_redirects_on_the_same_host(httpserver, session, status, method):
    httpserver.expect_request("/from").respond_with_response(
        WerkzeugResponse(status=status, headers={"Location": "/to"})
    )
    httpserver.expect_request("/to").respond_with_data("arrived")
    response = session.request("POST", httpserver.url_for("/from"), json={"a": 1}, headers={"Authorization": "k"})
    assert response.text == "arrived" and response.status_code == 200
    assert last_request(httpserver).method == method
    assert last_request(httpserver).headers["Authorization"] == "k"


def test_redirect_loop_is_a_request_exception(httpserver, session):
    httpserver.expect_request("/loop").respond_with_response(
        WerkzeugResponse(status=302, headers={"Location": "/loop"})
    )
    with pytest.raises(RequestException) as info:
        session.request("GET", httpserver.url_for("/loop"))
    assert "redirect" in str(info.value).lower()
    assert len(httpserver.log) == 31


def test_keep_alive_reuses_one_connection(raw_server, session):
    server = raw_server(keep_alive(b'{"a":1}'))
    for _ in range(3):
        assert session.request("GET", server.url + "/x").json() == {"a": 1}
    assert server.connections == 1 and len(server.requests) == 3


def test_closed_session_refuses_and_sends_nothing(raw_server):
    server = raw_server(keep_alive())
    with Session() as session:
        session.anything = 1  # instances take new attributes
        session.request("GET", server.url)
    session.close()
    with pytest.raises(SessionClosedError, match="closed"):
        session.request("GET", server.url)
    assert len(server.requests) == 1
    assert issubclass(SessionClosedError, RequestException)
