"""Redirects against a real server: the method, body and headers of the request that reaches the
new location, by the rules requests follows (its Session.rebuild_method and resolve_redirects),
and the same as requests itself where it is installed."""

import json

import pytest
from werkzeug import Request, Response

METHODS = ["GET", "POST", "PUT", "PATCH", "DELETE"]
STATUSES = [301, 302, 303, 307, 308]
BODY = {"a": 1}


def expected(status, method):
    """(method, body sent again) at the new location, as requests' rules give them."""
    if status in (302, 303) and method != "HEAD":
        method = "GET"
    elif status == 301 and method == "POST":
        method = "GET"
    return method, status in (307, 308)


@pytest.fixture
def landing(httpserver):
    """/from/<status> redirects to /to, which answers with what reached it."""

    def arrived(request: Request):
        seen = {
            "method": request.method,
            "body": request.get_data().decode(),
            "content_type": request.headers.get("Content-Type"),
            "authorization": request.headers.get("Authorization"),
            "cookie": request.headers.get("Cookie"),
        }
        return Response(json.dumps(seen), content_type="application/json")

    for status in STATUSES + [300, 304]:
        httpserver.expect_request(f"/from/{status}").respond_with_response(
            Response(status=status, headers={"Location": "/to"})
        )
    httpserver.expect_request("/to").respond_with_handler(arrived)
    return httpserver


def send(client, method, url):
    body = None if method == "GET" else BODY
    response = client.request(method=method, url=url, json=body, headers={"Authorization": "Bearer k"})
    seen = response.json()
    if seen["body"]:
        seen["body"] = json.loads(seen["body"])  # JSON spacing is free
    return response.status_code, seen


@pytest.mark.parametrize("status", STATUSES)
@pytest.mark.parametrize("method", METHODS)
def test_the_request_at_the_new_location(landing, session, status, method):
    code, seen = send(session, method, landing.url_for(f"/from/{status}"))
    new_method, keeps_body = expected(status, method)
    assert code == 200
    assert seen["method"] == new_method
    if keeps_body and method != "GET":
        assert seen["body"] == BODY and seen["content_type"] == "application/json"
    else:
        # no body, and nothing that describes one (a GET marked application/json is wrong)
        assert seen["body"] == "" and seen["content_type"] is None
    assert seen["authorization"] == "Bearer k"  # the same host keeps the credentials


@pytest.mark.parametrize("status", STATUSES)
@pytest.mark.parametrize("method", METHODS)
def test_same_as_requests(landing, session, status, method):
    requests = pytest.importorskip("requests")
    url = landing.url_for(f"/from/{status}")
    ours = send(session, method, url)
    with requests.Session() as theirs:
        assert ours == send(theirs, method, url)


def test_a_delete_answered_by_303_deletes_nothing_elsewhere(landing, session):
    session.request("DELETE", landing.url_for("/from/303"))
    assert [request.method for request, _ in landing.log] == ["DELETE", "GET"]


@pytest.mark.parametrize("status", [300, 304])
def test_other_3xx_answers_are_final(landing, session, status):
    response = session.request("GET", landing.url_for(f"/from/{status}"))
    assert response.status_code == status
    assert len(landing.log) == 1


def test_a_given_cookie_is_not_carried_to_the_next_location(landing, session):
    response = session.request("GET", landing.url_for("/from/302"), headers={"Cookie": "a=1"})
    assert response.json()["cookie"] is None


def test_credentials_stay_with_their_origin(httpserver, other_host, session):
    """Another port of the same host is another origin: Authorization is dropped there."""
    target = f"http://localhost:{other_host.port}/landing"
    httpserver.expect_request("/start").respond_with_response(Response(status=307, headers={"Location": target}))
    other_host.expect_request("/landing").respond_with_data("here")
    response = session.request("POST", httpserver.url_for("/start"), json=BODY, headers={"Authorization": "Bearer k"})
    assert response.text == "here"
    ((request, _),) = other_host.log
    assert "Authorization" not in request.headers
    assert json.loads(request.get_data()) == BODY  # a 307 keeps the body, even to another origin


@pytest.mark.parametrize("status, resent", [(307, True), (308, True), (302, False)])
def test_an_upload_is_sent_whole_again_or_not_at_all(landing, session, tmp_path, status, resent):
    data = tmp_path / "data.jsonl"
    data.write_bytes(b'{"x": 1}\n' * 1000)
    with open(data, "rb") as file:
        response = session.request("POST", landing.url_for(f"/from/{status}"), files={"file": file})
    seen = response.json()
    if resent:
        assert seen["method"] == "POST" and seen["body"].count('{"x": 1}') == 1000
        assert seen["content_type"].startswith("multipart/form-data; boundary=")
    else:
        assert seen == {**seen, "method": "GET", "body": "", "content_type": None}


def test_streams_follow_redirects_too(landing, session):
    response = session.request("PUT", landing.url_for("/from/303"), json=BODY, stream=True)
    assert json.loads(b"".join(response.iter_lines()))["method"] == "GET"
