"""Answer handling and status-to-error mapping, on answers as the HTTP layer hands them over."""

import email.utils
import json
import time

import pytest
from korvane_sdk import KorvaneClient
from korvane_sdk import exceptions as ex


class Answer:
    """An answer with the surface the client reads: status, headers, text and json()."""

    def __init__(self, status, body="", headers=None):
        self.status_code = status
        self.text = body
        self.headers = CaseInsensitive(headers or {})

    def json(self):
        return json.loads(self.text)


class CaseInsensitive(dict):
    def __init__(self, items):
        super().__init__({k.lower(): v for k, v in items.items()})

    def get(self, key, default=None):
        return super().get(key.lower(), default)


@pytest.fixture
def client():
    return KorvaneClient(api_key="k")


@pytest.mark.parametrize(
    "status, body, raw, expected",
    [
        (204, "", False, ""),
        (200, "plain text", False, "plain text"),
        (200, '{"a": 1}', True, '{"a": 1}'),
        (200, '{"a": 1}', False, {"a": 1}),
        (200, "[1, 2]", False, [1, 2]),
        (200, '"text"', False, "text"),
        (200, "null", False, None),
        (302, "moved", False, "moved"),
    ],
)
def test_success_values(client, status, body, raw, expected):
    assert client._handle_response(Answer(status, body), raw) == expected


CASES = [
    # status, body, headers, class, message, http_status, code
    (401, '{"detail": "Bad key"}', {}, ex.AuthenticationError, "Bad key", 401, "AUTH_ERROR"),
    (
        400,
        '{"detail": "d", "message": "m", "error_code": "X"}',
        {},
        ex.InvalidRequestError,
        "d",
        400,
        "INVALID_REQUEST",
    ),
    (404, '{"message": "only message"}', {}, ex.NotFoundError, "only message", 404, "NOT_FOUND"),
    (404, "{}", {}, ex.NotFoundError, "Unknown error", 404, "NOT_FOUND"),
    (404, '{"detail": null}', {}, ex.NotFoundError, None, 404, "NOT_FOUND"),
    (502, "Bad gateway", {}, ex.ServerError, "Bad gateway", 502, "SERVER_ERROR"),
    (503, "", {}, ex.ServerError, "HTTP 503", 503, "SERVER_ERROR"),
    (500, "[1, 2]", {}, ex.ServerError, "[1, 2]", 500, "SERVER_ERROR"),
    (500, '"just a string"', {}, ex.ServerError, '"just a string"', 500, "SERVER_ERROR"),
    (403, '{"detail": "no", "error_code": "FORBIDDEN"}', {}, ex.KorvaneError, "no", 403, "FORBIDDEN"),
    (422, "", {}, ex.KorvaneError, "HTTP 422", 422, None),
    (409, '{"detail": [{"loc": ["name"]}]}', {}, ex.KorvaneError, [{"loc": ["name"]}], 409, None),
    (429, '{"detail": "slow"}', {"Retry-After": "30"}, ex.RateLimitError, "slow", 429, "RATE_LIMIT"),
]


@pytest.mark.parametrize("status, body, headers, cls, message, http_status, code", CASES)
def test_error_mapping(client, status, body, headers, cls, message, http_status, code):
    with pytest.raises(ex.KorvaneError) as caught:
        client._handle_response(Answer(status, body, headers))
    error = caught.value
    assert type(error) is cls
    assert (error.message, error.http_status, error.error_code) == (message, http_status, code)
    assert error.details == ({"status_code": 401} if status == 401 else {})


def http_date(seconds_from_now):
    return email.utils.formatdate(time.time() + seconds_from_now, usegmt=True)


@pytest.mark.parametrize(
    "headers, expected",
    [
        ({"Retry-After": "30"}, 30),
        ({"retry-after": "30"}, 30),
        ({"RETRY-AFTER": " 7 "}, 7),
        ({}, None),
        ({"Retry-After": ""}, None),
        ({"Retry-After": "1.2"}, 2),
        ({"Retry-After": "3.0"}, 3),
        ({"Retry-After": "soon"}, None),
        ({"Retry-After": "-5"}, 0),
        ({"Retry-After": http_date(-3600)}, 0),
    ],
)
def test_retry_after(client, headers, expected):
    with pytest.raises(ex.RateLimitError) as caught:
        client._handle_error(Answer(429, "", headers))
    assert caught.value.retry_after == expected


def test_retry_after_http_date_in_the_future(client):
    with pytest.raises(ex.RateLimitError) as caught:
        client._handle_error(Answer(429, "", {"Retry-After": http_date(120)}))
    assert 115 <= caught.value.retry_after <= 121
