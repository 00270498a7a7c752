"""Identifiers in request paths: each is exactly one path segment, whatever it holds, on the wire of
both clients. The expected request line is built with urllib's quote (an outside reference), and the
server records the raw request line, so nothing in between (the client, libcurl) may re-mean it."""

from urllib.parse import quote

import pytest
from korvane_sdk.exceptions import KorvaneError
from rawserver import keep_alive

NOT_FOUND = b'{"detail":"no such resource"}'

# Ids that would leave their segment, or their path, if put in unescaped.
HOSTILE_IDS = [
    "../../victim",
    "../victim",
    "./x",
    "id?x=1",
    "id#frag",
    "a/b",
    "%2e%2e",
    "%2F",
    "sp ace",
    "tab\tnl\n",
    "nul\x00",
    "é世",
    "...",
    "~_-.",
    "+&=;,",
    "id\\..\\x",
]


def upload(tmp_path):
    data = tmp_path / "train.jsonl"
    data.write_bytes(b'{"messages": []}\n')
    return str(data)


# (label, call(client, id, tmp_path), method, path with "{}" for the id). Each operation that puts an
# id in a path; the tenant-scoped ones put the same id in as the tenant too.
OPERATIONS = [
    ("tenants.get", lambda c, i, t: c.tenants.get(i), "GET", "/api/v1/tenants/{}"),
    ("tenants.update", lambda c, i, t: c.tenants.update(i, name="n"), "PATCH", "/api/v1/tenants/{}"),
    ("tenants.delete", lambda c, i, t: c.tenants.delete(i), "DELETE", "/api/v1/tenants/{}"),
    ("tenants.get_usage", lambda c, i, t: c.tenants.get_usage(i), "GET", "/api/v1/tenants/{}/usage"),
    (
        "tenants.regenerate",
        lambda c, i, t: c.tenants.regenerate_api_key(i),
        "POST",
        "/api/v1/tenants/{}/regenerate-key",
    ),
    ("feedback.get", lambda c, i, t: c.feedback.get(i), "GET", "/api/v1/feedback/{}"),
    ("feedback.delete", lambda c, i, t: c.feedback.delete(i), "DELETE", "/api/v1/feedback/{}"),
    ("feedback.get scoped", lambda c, i, t: c.feedback.get(i, tenant_id=i), "GET", "/api/v1/tenants/{}/feedback/{}"),
    ("feedback.delete scoped", lambda c, i, t: c.feedback.delete(i, i), "DELETE", "/api/v1/tenants/{}/feedback/{}"),
    (
        "feedback.create scoped",
        lambda c, i, t: c.feedback.create("r", 1, tenant_id=i),
        "POST",
        "/api/v1/tenants/{}/feedback",
    ),
    ("feedback.list scoped", lambda c, i, t: c.feedback.list(tenant_id=i), "GET", "/api/v1/tenants/{}/feedback"),
    (
        "feedback.stats scoped",
        lambda c, i, t: c.feedback.stats(tenant_id=i),
        "GET",
        "/api/v1/tenants/{}/feedback/stats",
    ),
    (
        "feedback.export scoped",
        lambda c, i, t: c.feedback.export(tenant_id=i),
        "GET",
        "/api/v1/tenants/{}/feedback/export",
    ),
    ("training.get", lambda c, i, t: c.training.get(i), "GET", "/api/v1/training/jobs/{}"),
    ("training.cancel", lambda c, i, t: c.training.cancel(i), "POST", "/api/v1/training/jobs/{}/cancel"),
    ("training.get_logs", lambda c, i, t: c.training.get_logs(i), "GET", "/api/v1/training/jobs/{}/logs"),
    ("training.get_metrics", lambda c, i, t: c.training.get_metrics(i), "GET", "/api/v1/training/jobs/{}/metrics"),
    ("training.get scoped", lambda c, i, t: c.training.get(i, i), "GET", "/api/v1/tenants/{}/training/jobs/{}"),
    (
        "training.create scoped",
        lambda c, i, t: c.training.create("sft", "m", tenant_id=i),
        "POST",
        "/api/v1/tenants/{}/training/jobs",
    ),
    ("training.list scoped", lambda c, i, t: c.training.list(tenant_id=i), "GET", "/api/v1/tenants/{}/training/jobs"),
    ("datasets.get", lambda c, i, t: c.training.get_dataset(i), "GET", "/api/v1/datasets/{}"),
    ("datasets.delete", lambda c, i, t: c.training.delete_dataset(i), "DELETE", "/api/v1/datasets/{}"),
    ("datasets.upload", lambda c, i, t: c.training.upload_dataset(i, upload(t)), "POST", "/api/v1/datasets/{}/upload"),
    ("datasets.get scoped", lambda c, i, t: c.training.get_dataset(i, i), "GET", "/api/v1/tenants/{}/datasets/{}"),
    (
        "datasets.create scoped",
        lambda c, i, t: c.training.create_dataset("d", tenant_id=i),
        "POST",
        "/api/v1/tenants/{}/datasets",
    ),
    (
        "datasets.list scoped",
        lambda c, i, t: c.training.list_datasets(tenant_id=i),
        "GET",
        "/api/v1/tenants/{}/datasets",
    ),
    (
        "datasets.from_feedback scoped",
        lambda c, i, t: c.training.generate_from_feedback("d", tenant_id=i),
        "POST",
        "/api/v1/tenants/{}/datasets/from-feedback",
    ),
]


def request_line(raw):
    return raw.split(b"\r\n", 1)[0].decode("ascii")


@pytest.fixture
def server(raw_server):
    return raw_server(keep_alive(NOT_FOUND, "404 Not Found", ("Content-Type: application/json",)))


@pytest.mark.parametrize(("label", "call", "method", "path"), OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_each_id_is_one_segment_on_the_wire(server, new_client, tmp_path, label, call, method, path):
    with new_client(api_key="sk-test", api_url=server.url, max_retries=1) as client:
        for identifier in HOSTILE_IDS:
            with pytest.raises(KorvaneError):
                call(client, identifier, tmp_path)
    expected = [f"{method} {path.format(*[quote(i.encode(), safe='')] * path.count('{}'))}" for i in HOSTILE_IDS]
    lines = [request_line(raw) for raw in server.requests]
    assert all(line.endswith(" HTTP/1.1") for line in lines)
    # the query (paging, tail) is the operation's own; the path is compared whole
    assert [line.removesuffix(" HTTP/1.1").split("?", 1)[0] for line in lines] == expected


@pytest.mark.parametrize("dots", [".", ".."])
@pytest.mark.parametrize(("label", "call", "method", "path"), OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_dot_segments_are_refused_and_nothing_is_sent(server, new_client, tmp_path, label, call, method, path, dots):
    with new_client(api_key="sk-test", api_url=server.url, max_retries=1) as client:
        with pytest.raises(ValueError, match="must not be"):
            call(client, dots, tmp_path)
    assert server.requests == []


def test_a_tenant_scope_cannot_be_left_for_another_tenant(server, new_client):
    """The probe that found it: deleting "../../<victim>" as feedback of my tenant."""
    with new_client(api_key="sk-test", api_url=server.url, max_retries=1) as client:
        with pytest.raises(KorvaneError):
            client.feedback.delete("../../victim", tenant_id="mine")
    assert request_line(server.requests[0]) == "DELETE /api/v1/tenants/mine/feedback/..%2F..%2Fvictim HTTP/1.1"


def test_the_seam_sees_the_escaped_path(client, recorder):
    """A replaced _request is handed the path as it will be sent."""
    recorder.answer = {"id": "x"}
    client.tenants.get_usage("a/b c")
    assert recorder.calls[0]["path"] == "/api/v1/tenants/a%2Fb%20c/usage"
