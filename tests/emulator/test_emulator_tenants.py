"""Tenant administration under /api/v1/tenants."""

import re

import pytest

ISO_UTC = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")
TENANT_MEMBERS = [
    "id",
    "name",
    "slug",
    "plan",
    "is_active",
    "created_at",
    "updated_at",
    "monthly_tokens_limit",
    "monthly_tokens_used",
    "monthly_requests_limit",
    "monthly_requests_used",
    "features",
    "metadata",
]


def test_create_answers_the_record_and_a_key(emulator):
    reply = emulator.call("POST", "/api/v1/tenants", {"name": "Acme Corp!", "plan": "free", "metadata": {"a": [1]}})
    assert reply.status == 201
    tenant = reply.json()
    assert list(tenant) == TENANT_MEMBERS + ["api_key"]
    assert tenant["slug"] == "acme-corp" and tenant["plan"] == "free" and tenant["is_active"] is True
    assert tenant["metadata"] == {"a": [1]} and tenant["updated_at"] is None
    assert ISO_UTC.match(tenant["created_at"])
    assert tenant["api_key"].startswith("sk-")
    fetched = emulator.ok("GET", f"/api/v1/tenants/{tenant['id']}")
    assert list(fetched) == TENANT_MEMBERS and "api_key" not in fetched


def test_slugs_given_and_generated(emulator):
    emulator.ok("POST", "/api/v1/tenants", {"name": "A", "slug": "shared"})
    reply = emulator.call("POST", "/api/v1/tenants", {"name": "B", "slug": "shared"})
    assert reply.status == 409 and reply.json()["error_code"] == "CONFLICT"
    generated = [emulator.ok("POST", "/api/v1/tenants", {"name": "Same Name"})["slug"] for _ in range(3)]
    assert generated == ["same-name", "same-name-2", "same-name-3"]


@pytest.mark.parametrize(
    "body",
    [
        {},
        {"name": ""},
        {"name": "x" * 256},
        {"name": 5},
        {"name": "ok", "metadata": []},
        {"name": "ok", "slug": "has space"},
        {"name": "ok", "plan": 3},
    ],
)
def test_create_validation(emulator, body):
    reply = emulator.call("POST", "/api/v1/tenants", body)
    assert reply.status == 422 and reply.json()["error_code"] == "VALIDATION_ERROR"


def test_name_length_counts_characters(emulator):
    assert emulator.call("POST", "/api/v1/tenants", {"name": "é" * 255}).status == 201


def test_list_filters_and_pages(emulator):
    ids = [emulator.ok("POST", "/api/v1/tenants", {"name": f"t{i}"})["id"] for i in range(4)]
    emulator.ok("PATCH", f"/api/v1/tenants/{ids[1]}", {"is_active": False})
    everything = emulator.ok("GET", "/api/v1/tenants", query={"limit": 100, "offset": 0})
    assert [t["id"] for t in everything["tenants"]] == ids and everything["total"] == 4
    for text, expected in [
        ("False", [ids[1]]),
        ("false", [ids[1]]),
        ("0", [ids[1]]),
        ("True", [ids[0], ids[2], ids[3]]),
        ("1", [ids[0], ids[2], ids[3]]),
    ]:
        answer = emulator.ok("GET", "/api/v1/tenants", query={"is_active": text})
        assert [t["id"] for t in answer["tenants"]] == expected
    page = emulator.ok("GET", "/api/v1/tenants", query={"limit": 2, "offset": 1})
    assert [t["id"] for t in page["tenants"]] == ids[1:3] and page["total"] == 4


@pytest.mark.parametrize("query", [{"is_active": "maybe"}, {"limit": "x"}, {"limit": -1}, {"offset": "1.5"}])
def test_list_rejects_bad_queries(emulator, query):
    assert emulator.call("GET", "/api/v1/tenants", query=query).status == 422


def test_update_changes_only_given_members(emulator, tenant):
    updated = emulator.ok("PATCH", f"/api/v1/tenants/{tenant['id']}", {"plan": "enterprise", "metadata": {"k": "v"}})
    assert updated["plan"] == "enterprise" and updated["monthly_tokens_limit"] is None
    assert updated["name"] == tenant["name"] and updated["metadata"] == {"k": "v"}
    assert ISO_UTC.match(updated["updated_at"])
    unchanged = emulator.ok("PATCH", f"/api/v1/tenants/{tenant['id']}", {})
    assert unchanged["plan"] == "enterprise"
    assert emulator.call("PATCH", f"/api/v1/tenants/{tenant['id']}", {"is_active": "no"}).status == 422


def test_usage(emulator, tenant):
    usage = emulator.ok("GET", f"/api/v1/tenants/{tenant['id']}/usage")
    assert usage["tenant_id"] == tenant["id"]
    assert usage["monthly_tokens_used"] == 0 and usage["tokens_remaining"] == usage["monthly_tokens_limit"]


def test_delete_removes_tenant_and_what_it_owns(emulator, tenant):
    base = f"/api/v1/tenants/{tenant['id']}"
    feedback = emulator.ok("POST", f"{base}/feedback", {"request_id": "r", "rating": 1})
    assert emulator.ok("DELETE", base) == {"id": tenant["id"], "deleted": True}
    assert emulator.call("GET", base).status == 404
    assert emulator.call("GET", f"/api/v1/feedback/{feedback['id']}").status == 404
    assert emulator.ok("GET", "/api/v1/tenants")["tenants"] == []


@pytest.mark.parametrize(
    "method, suffix",
    [
        ("GET", ""),
        ("PATCH", ""),
        ("DELETE", ""),
        ("GET", "/usage"),
        ("POST", "/regenerate-key"),
        ("GET", "/feedback"),
        ("POST", "/datasets"),
        ("GET", "/training/jobs/x"),
    ],
)
def test_unknown_tenant_is_not_found(emulator, method, suffix):
    reply = emulator.call(method, f"/api/v1/tenants/tenant_nope{suffix}", {} if method in ("PATCH", "POST") else None)
    assert reply.status == 404
    assert reply.json() == {"detail": "Tenant 'tenant_nope' not found", "error_code": "NOT_FOUND"}
