"""Feedback: create, list with filters, get, delete, stats and export."""

import csv
import io
import json
from datetime import datetime, timedelta, timezone

import pytest

FEEDBACK_MEMBERS = [
    "id",
    "tenant_id",
    "request_id",
    "rating",
    "comment",
    "tags",
    "created_at",
    "prompt",
    "response",
    "model",
]


def give(emulator, rating, tags=(), base="/api/v1", **extra):
    return emulator.ok(
        "POST", f"{base}/feedback", {"request_id": "req-1", "rating": rating, "tags": list(tags), **extra}
    )


def test_create_records_the_chat_model(emulator):
    chat = emulator.ok(
        "POST", "/v1/chat/completions", {"model": "korvane-1-mini", "messages": [{"role": "user", "content": "hi"}]}
    )
    reply = emulator.call("POST", "/api/v1/feedback", {"request_id": chat["id"], "rating": 1, "comment": "good"})
    assert reply.status == 201
    entry = reply.json()
    assert list(entry) == FEEDBACK_MEMBERS
    assert entry["model"] == "korvane-1-mini" and entry["tags"] == [] and entry["prompt"] is None
    assert entry["tenant_id"] == "default" and entry["comment"] == "good"
    assert emulator.ok("GET", f"/api/v1/feedback/{entry['id']}") == entry
    unknown = give(emulator, 0)
    assert unknown["model"] is None


@pytest.mark.parametrize(
    "body",
    [
        {"request_id": "r", "rating": 2},
        {"request_id": "r", "rating": -2},
        {"request_id": "r", "rating": 0.5},
        {"request_id": "r", "rating": True},
        {"request_id": "r"},
        {"rating": 1},
        {"request_id": "r", "rating": 1, "tags": "a,b"},
        {"request_id": "r", "rating": 1, "tags": [1]},
        {"request_id": "r", "rating": 1, "comment": 5},
    ],
)
def test_create_validation(emulator, body):
    reply = emulator.call("POST", "/api/v1/feedback", body)
    assert reply.status == 422 and reply.json()["error_code"] == "VALIDATION_ERROR"


def test_list_filters(emulator):
    good = give(emulator, 1, ["fast", "accurate"])
    bad = give(emulator, -1, ["slow"])
    neutral = give(emulator, 0)

    def listed(**query):
        answer = emulator.ok("GET", "/api/v1/feedback", query=query)
        return [f["id"] for f in answer["feedbacks"]]

    assert listed() == [good["id"], bad["id"], neutral["id"]]
    assert listed(rating=0) == [neutral["id"]]
    assert listed(rating=-1) == [bad["id"]]
    assert listed(tags="slow,accurate") == [good["id"], bad["id"]]
    assert listed(tags="none") == []
    assert listed(limit=1, offset=1) == [bad["id"]]

    created = datetime.fromisoformat(bad["created_at"].replace("Z", "+00:00"))
    just_before = (created - timedelta(microseconds=1)).replace(tzinfo=None).isoformat()
    assert listed(start_date=just_before) == [bad["id"], neutral["id"]]
    assert listed(end_date=created.isoformat()) == [good["id"], bad["id"]]
    in_tokyo = created.astimezone(timezone(timedelta(hours=9))).isoformat()
    assert listed(start_date=in_tokyo, end_date=in_tokyo) == [bad["id"]]
    far_future = "2999-01-01T00:00:00"
    assert listed(start_date=far_future) == []


@pytest.mark.parametrize("query", [{"start_date": "yesterday"}, {"end_date": "2025-13-01"}, {"rating": 3}])
def test_list_rejects_bad_filters(emulator, query):
    assert emulator.call("GET", "/api/v1/feedback", query=query).status == 422


def test_tenant_scoping(emulator, tenant):
    scoped_base = f"/api/v1/tenants/{tenant['id']}"
    mine = give(emulator, 1, base=scoped_base)
    other = give(emulator, 1)
    assert mine["tenant_id"] == tenant["id"]
    scoped = emulator.ok("GET", f"{scoped_base}/feedback")["feedbacks"]
    assert [f["id"] for f in scoped] == [mine["id"]]
    assert emulator.call("GET", f"{scoped_base}/feedback/{other['id']}").status == 404
    assert emulator.ok("GET", f"{scoped_base}/feedback/stats")["total_count"] == 1
    assert len(emulator.ok("GET", "/api/v1/feedback")["feedbacks"]) == 2


def test_delete(emulator):
    entry = give(emulator, 1)
    assert emulator.ok("DELETE", f"/api/v1/feedback/{entry['id']}")["deleted"] is True
    for method in ("GET", "DELETE"):
        reply = emulator.call(method, f"/api/v1/feedback/{entry['id']}")
        assert reply.status == 404
        assert reply.json()["detail"] == f"Feedback '{entry['id']}' not found"


def test_stats(emulator):
    assert emulator.ok("GET", "/api/v1/feedback/stats") == {
        "total_count": 0,
        "positive_count": 0,
        "negative_count": 0,
        "neutral_count": 0,
        "positive_rate": 0.0,
        "tags_distribution": {},
    }
    for rating, tags in [(1, ["a"]), (1, ["a", "b"]), (-1, []), (0, ["b"])]:
        give(emulator, rating, tags)
    stats = emulator.ok("GET", "/api/v1/feedback/stats")
    assert stats == {
        "total_count": 4,
        "positive_count": 2,
        "negative_count": 1,
        "neutral_count": 1,
        "positive_rate": 0.5,
        "tags_distribution": {"a": 2, "b": 2},
    }
    assert emulator.ok("GET", "/api/v1/feedback/stats", query={"start_date": "2999-01-01"})["total_count"] == 0


def test_export_jsonl_and_csv(emulator):
    tricky = give(emulator, 1, ["x", "y"], comment='says "hi", then\nleaves')
    give(emulator, -1)
    jsonl = emulator.call("GET", "/api/v1/feedback/export", query={"format": "jsonl"})
    assert jsonl.status == 200 and "ndjson" in jsonl.headers["Content-Type"]
    rows = [json.loads(line) for line in jsonl.text.splitlines()]
    assert rows[0] == tricky and len(rows) == 2

    only_bad = emulator.call("GET", "/api/v1/feedback/export", query={"format": "jsonl", "rating": -1}).text
    assert [json.loads(line)["rating"] for line in only_bad.splitlines()] == [-1]

    reply = emulator.call("GET", "/api/v1/feedback/export", query={"format": "csv"})
    assert reply.headers["Content-Type"].startswith("text/csv")
    table = list(csv.DictReader(io.StringIO(reply.text, newline="")))
    assert len(table) == 2
    assert table[0]["comment"] == 'says "hi", then\nleaves'
    assert table[0]["tags"] == "x,y" and table[0]["id"] == tricky["id"]


@pytest.mark.parametrize("format_", ["xml", "JSONL", ""])
def test_export_rejects_other_formats(emulator, format_):
    reply = emulator.call("GET", "/api/v1/feedback/export", query={"format": format_})
    assert reply.status == 400 and reply.json()["error_code"]
