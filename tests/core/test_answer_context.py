"""A successful answer that cannot be read into its result names the request, as failed answers do."""

import pytest
from korvane_sdk import exceptions as ex
from korvane_sdk.models import ValidationError

# (call, method, path answered, answer, error class): answers of the right kind whose members do not fit.
WRONG_MEMBERS = [
    pytest.param(
        lambda c: c.tenants.get("t1"), "GET", "/api/v1/tenants/t1", {"id": "t1"}, ValidationError, id="record"
    ),
    pytest.param(lambda c: c.tenants.list(), "GET", "/api/v1/tenants", [{"id": 7}], ValidationError, id="list"),
    pytest.param(
        lambda c: c.tenants.create("Acme"), "POST", "/api/v1/tenants", {"id": "t1"}, ValidationError, id="create"
    ),
    pytest.param(lambda c: c.list_models(), "GET", "/v1/models", {"data": [{"id": "m"}]}, ValidationError, id="models"),
    pytest.param(
        lambda c: c.chat.completions.create(model="m", messages=[]),
        "POST",
        "/v1/chat/completions",
        {"id": "c1", "choices": [{"message": "not an object"}]},
        TypeError,
        id="completion",
    ),
]


@pytest.fixture
def client(httpserver, new_client):
    base = httpserver.url_for("").rstrip("/")
    with new_client(api_key="sk-context", api_url=base, proxy_url=base, max_retries=1) as made:
        yield made


@pytest.mark.parametrize("call, method, path, answer, error", WRONG_MEMBERS)
def test_answer_that_does_not_fit_names_the_request(client, httpserver, call, method, path, answer, error):
    httpserver.expect_request(path, method=method).respond_with_json(answer)
    with pytest.raises(error) as caught:
        call(client)
    assert not isinstance(caught.value, ex.KorvaneError)  # still the records' own error
    assert getattr(caught.value, "__notes__", None) == [
        f"{method} {client.api_url}{path}: the answer does not fit the record"
    ]


def test_answer_of_another_kind_carries_the_exchange(client, httpserver):
    httpserver.expect_request("/api/v1/tenants/t1").respond_with_json([{"id": "t1"}])
    with pytest.raises(ex.KorvaneError) as caught:
        client.tenants.get("t1")
    error = caught.value
    assert error.error_code == "UNEXPECTED_RESPONSE"
    assert (error.method, error.url) == ("GET", client.api_url + "/api/v1/tenants/t1")
    assert error.__notes__ == [f"GET {client.api_url}/api/v1/tenants/t1"]
