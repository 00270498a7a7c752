"""Datasets: create, list, get, delete, streamed upload, from-feedback."""

import json
import uuid

import pytest

DATASET_MEMBERS = [
    "id",
    "tenant_id",
    "name",
    "description",
    "num_examples",
    "size_bytes",
    "dataset_type",
    "status",
    "created_at",
    "updated_at",
]


def multipart(parts):
    """(field name, file name, bytes) triples as a multipart/form-data body."""
    boundary = uuid.uuid4().hex
    body = b""
    for name, filename, data in parts:
        disposition = f'form-data; name="{name}"' + (f'; filename="{filename}"' if filename else "")
        body += f"--{boundary}\r\nContent-Disposition: {disposition}\r\n\r\n".encode() + data + b"\r\n"
    body += f"--{boundary}--\r\n".encode()
    return body, {"Content-Type": f"multipart/form-data; boundary={boundary}"}


def upload(emulator, path, parts, **kwargs):
    body, headers = multipart(parts)
    return emulator.call("POST", path, raw=body, headers=headers, **kwargs)


def test_create_get_list_delete(emulator):
    reply = emulator.call(
        "POST", "/api/v1/datasets", {"name": "prefs", "dataset_type": "preference", "description": "d"}
    )
    assert reply.status == 201
    dataset = reply.json()
    assert list(dataset)[: len(DATASET_MEMBERS)] == DATASET_MEMBERS
    assert (dataset["num_examples"], dataset["size_bytes"], dataset["status"]) == (0, 0, "ready")
    sft = emulator.ok("POST", "/api/v1/datasets", {"name": "plain"})
    assert sft["dataset_type"] == "sft" and sft["description"] is None

    assert emulator.ok("GET", f"/api/v1/datasets/{dataset['id']}") == dataset
    listed = emulator.ok("GET", "/api/v1/datasets", query={"limit": 100, "offset": 0})
    assert [d["id"] for d in listed["datasets"]] == [dataset["id"], sft["id"]]
    typed = emulator.ok("GET", "/api/v1/datasets", query={"type": "sft"})
    assert [d["id"] for d in typed["datasets"]] == [sft["id"]]

    assert emulator.ok("DELETE", f"/api/v1/datasets/{sft['id']}")["deleted"] is True
    assert emulator.call("GET", f"/api/v1/datasets/{sft['id']}").status == 404
    assert emulator.call("DELETE", f"/api/v1/datasets/{sft['id']}").status == 404


@pytest.mark.parametrize(
    "body",
    [{}, {"name": ""}, {"name": "x" * 256}, {"name": "n", "dataset_type": 1}, {"name": "n", "description": ["d"]}],
)
def test_create_validation(emulator, body):
    assert emulator.call("POST", "/api/v1/datasets", body).status == 422


@pytest.mark.parametrize(
    "content, examples",
    [
        (b'{"a": 1}\n{"b": 2}\n', 2),
        (b'{"a": 1}\r\n\r\n{"b": 2}\r\n{"c": 3}', 3),
        (b"\n\n  \n\t\n", 0),
        (b"", 0),
        (b"no newline at the end", 1),
    ],
)
def test_upload_counts_lines_and_bytes(emulator, content, examples):
    dataset = emulator.ok("POST", "/api/v1/datasets", {"name": "d"})
    reply = upload(
        emulator,
        f"/api/v1/datasets/{dataset['id']}/upload",
        [("note", None, b"ignored\n"), ("file", "data.jsonl", content)],
    )
    assert reply.status == 200, reply.body
    updated = reply.json()
    assert (updated["num_examples"], updated["size_bytes"]) == (examples, len(content))
    assert updated["updated_at"]
    again = upload(emulator, f"/api/v1/datasets/{dataset['id']}/upload", [("file", "more.jsonl", content)]).json()
    assert (again["num_examples"], again["size_bytes"]) == (2 * examples, 2 * len(content))


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    pytest.skip("no /proc peak memory figure")


def test_large_upload_is_streamed_not_held(emulator):
    dataset = emulator.ok("POST", "/api/v1/datasets", {"name": "big"})
    boundary = "emulator-test-boundary"
    line = b'{"prompt": "' + b"x" * 1000 + b'"}\n'
    lines_per_piece, pieces = 1024, 64  # 64 MiB of file in 1 MiB pieces

    def body():
        yield (f'--{boundary}\r\nContent-Disposition: form-data; name="file"; filename="big.jsonl"\r\n\r\n'.encode())
        for _ in range(pieces):
            yield line * lines_per_piece
        yield f"\r\n--{boundary}--\r\n".encode()

    before = peak_rss_kib(emulator.process.pid)
    conn = emulator.connection(timeout=30)
    conn.request(
        "POST",
        f"/api/v1/datasets/{dataset['id']}/upload",
        body=body(),
        encode_chunked=True,
        headers={
            "Authorization": "Bearer sk-korvane-admin",
            "Content-Type": f"multipart/form-data; boundary={boundary}",
        },
    )
    answer = json.loads(conn.getresponse().read())
    conn.close()
    assert answer["num_examples"] == pieces * lines_per_piece
    assert answer["size_bytes"] == pieces * lines_per_piece * len(line)
    assert peak_rss_kib(emulator.process.pid) - before < 16 * 1024


@pytest.mark.parametrize(
    "parts, headers, status",
    [
        ([("other", "a.jsonl", b"{}\n")], None, 422),
        (None, {"Content-Type": "application/json"}, 422),
        (None, {"Content-Type": "multipart/form-data; boundary=abc"}, 400),
    ],
)
def test_upload_errors(emulator, parts, headers, status):
    dataset = emulator.ok("POST", "/api/v1/datasets", {"name": "d"})
    path = f"/api/v1/datasets/{dataset['id']}/upload"
    if parts is not None:
        reply = upload(emulator, path, parts)
    else:
        reply = emulator.call("POST", path, raw=b"{}\n--nonsense", headers=headers)
    assert reply.status == status
    assert emulator.ok("GET", f"/api/v1/datasets/{dataset['id']}")["num_examples"] == 0


def test_upload_to_unknown_dataset_keeps_connection_usable(emulator):
    conn = emulator.connection()
    reply = upload(emulator, "/api/v1/datasets/ds_missing/upload", [("file", "a.jsonl", b"{}\n" * 1000)], conn=conn)
    assert reply.status == 404 and reply.json()["detail"] == "Dataset 'ds_missing' not found"
    sock = conn.sock
    assert sock is not None, "small unread bodies are drained, not answered with Connection: close"
    assert emulator.call("GET", "/v1/models", conn=conn).status == 200
    assert conn.sock is sock
    conn.close()


def test_tenant_datasets_are_separate(emulator, tenant):
    base = f"/api/v1/tenants/{tenant['id']}"
    mine = emulator.ok("POST", f"{base}/datasets", {"name": "mine"})
    other = emulator.ok("POST", "/api/v1/datasets", {"name": "global"})
    assert mine["tenant_id"] == tenant["id"]
    assert [d["id"] for d in emulator.ok("GET", f"{base}/datasets")["datasets"]] == [mine["id"]]
    assert emulator.call("GET", f"{base}/datasets/{other['id']}").status == 404
    reply = upload(
        emulator, f"{base}/datasets/{mine['id']}/upload", [("file", "a.jsonl", b"{}\n")], key=tenant["api_key"]
    )
    assert reply.status == 200 and reply.json()["num_examples"] == 1
    job = emulator.call("POST", f"{base}/training/jobs", {"training_type": "sft", "dataset_id": other["id"]})
    assert job.status == 404


def test_from_feedback(emulator, tenant):
    base = f"/api/v1/tenants/{tenant['id']}"
    for rating in (1, 1, 0, -1):
        emulator.ok("POST", f"{base}/feedback", {"request_id": "r", "rating": rating, "prompt": "p", "response": "r"})
    emulator.ok("POST", "/api/v1/feedback", {"request_id": "r", "rating": 1})

    def generate(path, min_rating):
        reply = emulator.call("POST", path, {"name": "from fb", "min_rating": min_rating, "dataset_type": "dpo"})
        assert reply.status == 201
        return reply.json()

    scoped = generate(f"{base}/datasets/from-feedback", 1)
    assert (scoped["num_examples"], scoped["dataset_type"], scoped["tenant_id"]) == (2, "dpo", tenant["id"])
    assert scoped["size_bytes"] > 0
    assert generate(f"{base}/datasets/from-feedback", 0)["num_examples"] == 3
    assert generate(f"{base}/datasets/from-feedback", -1)["num_examples"] == 4
    assert generate("/api/v1/datasets/from-feedback", 1)["num_examples"] == 3


@pytest.mark.parametrize(
    "body",
    [
        {"name": "x", "min_rating": None, "dataset_type": "sft"},
        {"name": "x", "min_rating": "1", "dataset_type": "sft"},
        {"name": "x", "min_rating": 0.5, "dataset_type": "sft"},
        {"name": "x", "dataset_type": "sft"},
        {"name": "", "min_rating": 1, "dataset_type": "sft"},
    ],
)
def test_from_feedback_validation(emulator, body):
    reply = emulator.call("POST", "/api/v1/datasets/from-feedback", body)
    assert reply.status == 422 and reply.json()["error_code"] == "VALIDATION_ERROR"
