"""List answers read straight into records over the wire give exactly what the general path (JSON
decode, shape checks, validation) gives, and every seam still routes around the direct reading."""

import json

import korvane_sdk.http
import pytest
from admin_samples import DATASET, FEEDBACK, JOB, TENANT
from korvane_sdk import KorvaneClient

T = json.dumps(TENANT)

BODIES = {
    "wrapped": '{"tenants": [%s, %s]}' % (T, T),
    "bare array": "[%s]" % T,
    "empty array": "[]",
    "member absent": '{"total": 3}',
    "member null": '{"tenants": null}',
    "member not an array": '{"tenants": {"id": "x"}}',
    "element not an object": '{"tenants": [%s, 5]}' % T,
    "element fails validation": '{"tenants": [%s, {"id": "t2"}]}' % T,
    "other members around": '{"page": {"n": [1, 2]}, "tenants": [%s], "next": null}' % T,
    "member twice": '{"tenants": [], "tenants": [%s]}' % T,
    "duplicate field": '[{"id":"a","id":"b","name":"n","slug":"s","created_at":"2025-03-01T00:00:00Z"}]',
    "escaped keys and values": '[{"\\u0069d":"\\u00e9","name":"n\\"q","slug":"s","created_at":"2025-03-01T00:00:00"}]',
    "lax values": '[{"id":"a","name":"n","slug":"s","created_at":1700000000,"is_active":"yes",'
    '"monthly_tokens_used":"12","features":["x"],"metadata":{"k":[1,{"z":null}]}}]',
    "datetime variants": '[{"id":"a","name":"n","slug":"s","created_at":"2025-03-01T12:30:45.123456+05:30",'
    '"updated_at":"2025-03-01T12:30:45Z"}]',
    "bad datetime": '[{"id":"a","name":"n","slug":"s","created_at":"yesterday"}]',
    "not JSON": "<html>busy</html>",
    "truncated": '{"tenants": [%s' % T,
    "trailing data": "[%s] []" % T,
    "top-level null": "null",
    "top-level string": '"tenants"',
    "byte order mark": "\ufeff[%s]" % T,
}


def outcome(call):
    try:
        return [(type(record).__name__, record.model_dump()) for record in call()]
    except Exception as error:  # the comparison covers the error too
        return (type(error).__name__, str(error))


@pytest.fixture
def clients(httpserver):
    url = httpserver.url_for("/")
    with (
        KorvaneClient(api_key="sk-test", api_url=url, max_retries=1) as direct,
        KorvaneClient(api_key="sk-test", api_url=url, max_retries=1) as general,
    ):
        own_request = type(general)._request
        general._request = lambda *args, **kwargs: own_request(general, *args, **kwargs)  # forces the general path
        yield direct, general


@pytest.mark.parametrize("body", list(BODIES.values()), ids=list(BODIES))
def test_direct_reading_matches_the_general_path(httpserver, clients, body):
    direct, general = clients
    httpserver.expect_request("/api/v1/tenants").respond_with_data(body.encode(), content_type="application/json")
    expected = outcome(general.tenants.list)
    assert outcome(direct.tenants.list) == expected
    assert len(httpserver.log) == 2


@pytest.mark.parametrize(
    "call, path, member, sample",
    [
        (lambda c: c.feedback.list(), "/api/v1/feedback", "feedbacks", FEEDBACK),
        (lambda c: c.training.list(), "/api/v1/training/jobs", "jobs", JOB),
        (lambda c: c.training.list_datasets(), "/api/v1/datasets", "datasets", DATASET),
    ],
)
def test_every_list_call_reads_its_own_member(httpserver, clients, call, path, member, sample):
    direct, general = clients
    httpserver.expect_request(path).respond_with_json({member: [sample, sample], "tenants": [TENANT]})
    records = outcome(lambda: call(direct))
    assert records == outcome(lambda: call(general))
    assert len(records) == 2


@pytest.mark.parametrize("rating", [-1, 1, 2, -2, "1"])
def test_bounds_hold_on_the_direct_path(httpserver, clients, rating):
    direct, general = clients
    httpserver.expect_request("/api/v1/feedback").respond_with_json([dict(FEEDBACK, rating=rating)])
    assert outcome(direct.feedback.list) == outcome(general.feedback.list)


def test_error_statuses_and_seams_still_apply(httpserver, clients, monkeypatch):
    direct, _ = clients
    httpserver.expect_request("/api/v1/tenants").respond_with_json({"detail": "nope"}, status=403)
    with pytest.raises(Exception, match="nope"):
        direct.tenants.list()

    httpserver.clear()
    httpserver.expect_request("/api/v1/tenants").respond_with_json([TENANT])
    seen = []
    own_handler = type(direct)._handle_response

    def handle_response(response, raw=False):
        seen.append("handler")
        return own_handler(direct, response, raw)

    direct._handle_response = handle_response
    assert [t.id for t in direct.tenants.list()] == ["ten-1"]
    assert seen == ["handler"]
    del direct._handle_response

    monkeypatch.setattr(korvane_sdk.http.Response, "json", lambda self: [dict(TENANT, id="patched")])
    assert [t.id for t in direct.tenants.list()] == ["patched"]
