"""The administration namespaces against a real local server: the exact bytes on the wire."""

import datetime
import io

import pytest
from admin_samples import DATASET, FEEDBACK, FEEDBACK_STATS, JOB, TENANT
from korvane_sdk import KorvaneClient
from korvane_sdk.exceptions import KorvaneError, ServerError

HALF_SECOND = datetime.datetime(2025, 3, 1, 0, 0, 0, 500000)
JOB_BODY = (
    b'{"training_type":"sft","base_model":"meta-llama/Llama-3.1-8B-Instruct","config":{},"num_gpus":8,'
    b'"priority":"normal"}'
)


@pytest.fixture
def client(httpserver):
    with KorvaneClient(api_key="sk-test", api_url=httpserver.url_for("/"), timeout=0.5, max_retries=1) as built:
        yield built


def only_request(httpserver):
    ((request, _response),) = httpserver.log
    return request


# (call, answer, method, path, query string, body, check on the result)
CASES = [
    (
        lambda c: c.tenants.list(is_active=False),
        {"tenants": [TENANT]},
        "GET",
        "/api/v1/tenants",
        b"limit=100&offset=0&is_active=False",
        b"",
        lambda r: [t.id for t in r] == ["ten-1"],
    ),
    (
        lambda c: c.tenants.create("Acme"),
        TENANT,
        "POST",
        "/api/v1/tenants",
        b"",
        b'{"name":"Acme","plan":"free","metadata":{}}',
        lambda r: r.slug == "acme",
    ),
    (
        lambda c: c.tenants.update("t1", is_active=False),
        TENANT,
        "PATCH",
        "/api/v1/tenants/t1",
        b"",
        b'{"is_active":false}',
        lambda r: r.name == "Acme",
    ),
    (
        lambda c: c.tenants.regenerate_api_key("t1"),
        {"api_key": "sk-new"},
        "POST",
        "/api/v1/tenants/t1/regenerate-key",
        b"",
        b"",
        lambda r: r == {"api_key": "sk-new"},
    ),
    (
        lambda c: c.feedback.create("r1", 1, tenant_id="ten"),
        FEEDBACK,
        "POST",
        "/api/v1/tenants/ten/feedback",
        b"",
        b'{"request_id":"r1","rating":1,"tags":[]}',
        lambda r: r.rating == 1,
    ),
    (
        lambda c: c.feedback.list(rating=0, start_date=HALF_SECOND, tags=["a", "b"]),
        [FEEDBACK, FEEDBACK],
        "GET",
        "/api/v1/feedback",
        b"limit=100&offset=0&rating=0&start_date=2025-03-01T00%3A00%3A00.500000&tags=a%2Cb",
        b"",
        lambda r: len(r) == 2,
    ),
    (
        lambda c: c.feedback.stats(),
        FEEDBACK_STATS,
        "GET",
        "/api/v1/feedback/stats",
        b"",
        b"",
        lambda r: r.positive_rate == 0.6,
    ),
    (
        lambda c: c.training.create("sft", tenant_id="tenant-123"),
        JOB,
        "POST",
        "/api/v1/tenants/tenant-123/training/jobs",
        b"",
        JOB_BODY,
        lambda r: r.progress == 0.25,
    ),
    (
        lambda c: c.training.get("a/b"),
        JOB,
        "GET",
        "/api/v1/training/jobs/a/b",
        b"",
        b"",
        lambda r: r.status == "running",
    ),
    (
        lambda c: c.training.cancel("j1"),
        JOB,
        "POST",
        "/api/v1/training/jobs/j1/cancel",
        b"",
        b"{}",
        lambda r: r.id == "job-1",
    ),
    (
        lambda c: c.training.get_logs("j1", None, 20),
        {"logs": "step 1\n"},
        "GET",
        "/api/v1/training/jobs/j1/logs",
        b"tail=20",
        b"",
        lambda r: r == "step 1\n",
    ),
    (
        lambda c: c.training.list_datasets(dataset_type="dpo"),
        {"datasets": []},
        "GET",
        "/api/v1/datasets",
        b"limit=100&offset=0&type=dpo",
        b"",
        lambda r: r == [],
    ),
    (
        lambda c: c.training.generate_from_feedback("N", min_rating=None),
        DATASET,
        "POST",
        "/api/v1/datasets/from-feedback",
        b"",
        b'{"name":"N","min_rating":null,"dataset_type":"sft"}',
        lambda r: r.num_examples == 12,
    ),
]


@pytest.mark.parametrize("call, answer, method, path, query, body, check", CASES, ids=[f"{c[2]} {c[3]}" for c in CASES])
def test_exact_request_and_result(client, httpserver, call, answer, method, path, query, body, check):
    httpserver.expect_request(path, method=method).respond_with_json(answer)
    result = call(client)
    request = only_request(httpserver)
    assert (request.method, request.path, request.query_string, request.get_data()) == (method, path, query, body)
    assert request.headers["Content-Type"] == "application/json"
    assert request.headers["Authorization"] == "Bearer sk-test"
    assert check(result)


@pytest.mark.parametrize(
    "call, path",
    [
        (lambda c: c.tenants.delete("t1"), "/api/v1/tenants/t1"),
        (lambda c: c.feedback.delete("f1", "ten"), "/api/v1/tenants/ten/feedback/f1"),
        (lambda c: c.training.delete_dataset("d1"), "/api/v1/datasets/d1"),
    ],
)
def test_deletion_with_an_empty_answer(client, httpserver, call, path):
    httpserver.expect_request(path, method="DELETE").respond_with_data("", status=204)
    assert call(client) is True
    assert only_request(httpserver).get_data() == b""


def test_export_returns_the_body_text(client, httpserver):
    text = 'id,rating\n"fb-1",-1\n'
    httpserver.expect_request("/api/v1/feedback/export").respond_with_data(text, content_type="text/csv")
    assert client.feedback.export(format="csv", rating=-1) == text
    assert only_request(httpserver).query_string == b"format=csv&rating=-1"


def test_list_answered_by_a_page_that_is_not_json(client, httpserver):
    httpserver.expect_request("/api/v1/training/jobs").respond_with_data("<html>maintenance</html>")
    with pytest.raises(KorvaneError) as raised:
        client.training.list()
    assert raised.value.error_code == "UNEXPECTED_RESPONSE"
    assert "GET /api/v1/training/jobs" in raised.value.message


@pytest.fixture
def opened_files(monkeypatch):
    """Every file the upload opens, to see that each is closed afterwards."""
    files = []
    real_open = io.open

    def tracking_open(*args, **kwargs):
        files.append(real_open(*args, **kwargs))
        return files[-1]

    monkeypatch.setattr(io, "open", tracking_open)
    return files


def multipart(boundary, filename, content):
    return (
        b"--"
        + boundary
        + b'\r\nContent-Disposition: form-data; name="file"; filename="'
        + filename
        + b'"\r\n\r\n'
        + content
        + b"\r\n--"
        + boundary
        + b"--\r\n"
    )


@pytest.mark.parametrize("status", [200, 500])
def test_upload_sends_the_file_as_multipart_and_closes_it(client, httpserver, tmp_path, opened_files, status):
    content = b'{"prompt": "a", "completion": "b"}\n' * 3 + bytes(range(256))
    path = tmp_path / "train.jsonl"
    path.write_bytes(content)
    answer = DATASET if status == 200 else {"detail": "disk full"}
    httpserver.expect_request("/api/v1/tenants/ten/datasets/ds-1/upload", method="POST").respond_with_json(
        answer, status=status
    )
    if status == 200:
        assert client.training.upload_dataset("ds-1", str(path), "ten").id == "ds-1"
    else:
        with pytest.raises(ServerError, match="disk full"):
            client.training.upload_dataset("ds-1", str(path), "ten")
    request = only_request(httpserver)
    content_type = request.headers["Content-Type"]
    assert content_type.startswith("multipart/form-data; boundary=")
    boundary = content_type.split("boundary=", 1)[1].encode()
    assert request.get_data() == multipart(boundary, b"train.jsonl", content)
    assert request.query_string == b""
    assert [f.closed for f in opened_files if f.mode == "rb"] == [True]


def test_upload_of_a_missing_file_sends_nothing(client, httpserver, tmp_path):
    with pytest.raises(FileNotFoundError):
        client.training.upload_dataset("ds-1", str(tmp_path / "missing.jsonl"))
    assert httpserver.log == []
