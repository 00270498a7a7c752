"""The exact _request call of every administration operation: method, path (global and tenant-scoped),
query, body and keywords, with the member order the platform sees."""

import datetime

import pytest
from admin_samples import ANSWERS

MIDNIGHT = datetime.datetime(2025, 3, 1)
HALF_SECOND = datetime.datetime(2025, 3, 1, 0, 0, 0, 500000)
PLUS_TWO = datetime.datetime(2025, 3, 1, 8, 15, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
DEFAULT_MODEL = "meta-llama/Llama-3.1-8B-Instruct"


def get(path, params=None):
    return {"method": "GET", "path": path, **({} if params is None else {"params": params})}


def post(path, json=None):
    return {"method": "POST", "path": path, **({} if json is None else {"json": json})}


def patch(path, json):
    return {"method": "PATCH", "path": path, "json": json}


def delete(path):
    return {"method": "DELETE", "path": path}


PAGE = {"limit": 100, "offset": 0}

CASES = [
    # tenants: fixed paths under /api/v1/tenants, each id one escaped segment
    ("tenants", "list", (), {}, get("/api/v1/tenants", PAGE)),
    ("tenants", "list", (), {"is_active": False}, get("/api/v1/tenants", {**PAGE, "is_active": False})),
    ("tenants", "list", (5, 10, True), {}, get("/api/v1/tenants", {"limit": 5, "offset": 10, "is_active": True})),
    ("tenants", "get", ("t 1/x?",), {}, get("/api/v1/tenants/t%201%2Fx%3F")),
    ("tenants", "create", ("Acme",), {}, post("/api/v1/tenants", {"name": "Acme", "plan": "free", "metadata": {}})),
    (
        "tenants",
        "create",
        ("Acme",),
        {"metadata": {}},
        post("/api/v1/tenants", {"name": "Acme", "plan": "free", "metadata": {}}),
    ),
    (
        "tenants",
        "create",
        ("Acme", "acme", "pro", {"k": [1, None]}),
        {},
        post("/api/v1/tenants", {"name": "Acme", "slug": "acme", "plan": "pro", "metadata": {"k": [1, None]}}),
    ),
    ("tenants", "update", ("t1",), {}, patch("/api/v1/tenants/t1", {})),
    ("tenants", "update", ("t1",), {"is_active": False}, patch("/api/v1/tenants/t1", {"is_active": False})),
    (
        "tenants",
        "update",
        ("t1", "New", "pro", True, {}),
        {},
        patch("/api/v1/tenants/t1", {"name": "New", "plan": "pro", "is_active": True, "metadata": {}}),
    ),
    ("tenants", "delete", ("t1",), {}, delete("/api/v1/tenants/t1")),
    ("tenants", "get_usage", ("t1",), {}, get("/api/v1/tenants/t1/usage")),
    ("tenants", "regenerate_api_key", ("t1",), {}, post("/api/v1/tenants/t1/regenerate-key")),
    # feedback: global, or scoped when the tenant id is a non-empty text
    ("feedback", "create", ("r1", 1), {}, post("/api/v1/feedback", {"request_id": "r1", "rating": 1, "tags": []})),
    (
        "feedback",
        "create",
        ("r1", -1),
        {"tenant_id": ""},
        post("/api/v1/feedback", {"request_id": "r1", "rating": -1, "tags": []}),
    ),
    (
        "feedback",
        "create",
        ("r1", 0, "meh", ["a"], "p", "r", "ten"),
        {},
        post(
            "/api/v1/tenants/ten/feedback",
            {"request_id": "r1", "rating": 0, "comment": "meh", "tags": ["a"], "prompt": "p", "response": "r"},
        ),
    ),
    ("feedback", "list", (), {}, get("/api/v1/feedback", PAGE)),
    ("feedback", "list", (), {"rating": 0, "tags": []}, get("/api/v1/feedback", {**PAGE, "rating": 0})),
    (
        "feedback",
        "list",
        ("ten", 5, 1, -1, MIDNIGHT, HALF_SECOND, ["a", "b"]),
        {},
        get(
            "/api/v1/tenants/ten/feedback",
            {
                "limit": 5,
                "offset": 1,
                "rating": -1,
                "start_date": "2025-03-01T00:00:00",
                "end_date": "2025-03-01T00:00:00.500000",
                "tags": "a,b",
            },
        ),
    ),
    (
        "feedback",
        "list",
        (),
        {"end_date": PLUS_TWO, "start_date": "2025-01-01"},
        get("/api/v1/feedback", {**PAGE, "start_date": "2025-01-01", "end_date": "2025-03-01T08:15:00+02:00"}),
    ),
    ("feedback", "get", ("f1",), {}, get("/api/v1/feedback/f1")),
    ("feedback", "get", ("f1", "ten"), {}, get("/api/v1/tenants/ten/feedback/f1")),
    ("feedback", "delete", ("f1", "ten"), {}, delete("/api/v1/tenants/ten/feedback/f1")),
    ("feedback", "delete", ("f1",), {"tenant_id": ""}, delete("/api/v1/feedback/f1")),
    ("feedback", "stats", (), {}, get("/api/v1/feedback/stats", {})),
    (
        "feedback",
        "stats",
        ("ten", MIDNIGHT, PLUS_TWO),
        {},
        get(
            "/api/v1/tenants/ten/feedback/stats",
            {"start_date": "2025-03-01T00:00:00", "end_date": "2025-03-01T08:15:00+02:00"},
        ),
    ),
    ("feedback", "export", (), {}, {**get("/api/v1/feedback/export", {"format": "jsonl"}), "raw_response": True}),
    (
        "feedback",
        "export",
        ("ten", "csv", -1),
        {},
        {**get("/api/v1/tenants/ten/feedback/export", {"format": "csv", "rating": -1}), "raw_response": True},
    ),
    (
        "feedback",
        "export",
        (),
        {"rating": 0},
        {**get("/api/v1/feedback/export", {"format": "jsonl", "rating": 0}), "raw_response": True},
    ),
    # training jobs
    (
        "training",
        "create",
        ("sft",),
        {},
        post(
            "/api/v1/training/jobs",
            {"training_type": "sft", "base_model": DEFAULT_MODEL, "config": {}, "num_gpus": 8, "priority": "normal"},
        ),
    ),
    (
        "training",
        "create",
        ("lora",),
        {"config": {}, "tenant_id": "", "num_gpus": 64},
        post(
            "/api/v1/training/jobs",
            {"training_type": "lora", "base_model": DEFAULT_MODEL, "config": {}, "num_gpus": 64, "priority": "normal"},
        ),
    ),
    (
        "training",
        "create",
        ("dpo", "m", "ds-1", {"lr": 0.1}, 2, "high", "tenant-123"),
        {},
        post(
            "/api/v1/tenants/tenant-123/training/jobs",
            {
                "training_type": "dpo",
                "base_model": "m",
                "dataset_id": "ds-1",
                "config": {"lr": 0.1},
                "num_gpus": 2,
                "priority": "high",
            },
        ),
    ),
    ("training", "get", ("a/b",), {}, get("/api/v1/training/jobs/a%2Fb")),
    ("training", "get", ("j1", "ten"), {}, get("/api/v1/tenants/ten/training/jobs/j1")),
    ("training", "list", (), {}, get("/api/v1/training/jobs", PAGE)),
    (
        "training",
        "list",
        (),
        {"status": "", "training_type": "sft"},
        get("/api/v1/training/jobs", {**PAGE, "training_type": "sft"}),
    ),
    (
        "training",
        "list",
        ("ten", "running", "dpo", 5, 2),
        {},
        get(
            "/api/v1/tenants/ten/training/jobs", {"limit": 5, "offset": 2, "status": "running", "training_type": "dpo"}
        ),
    ),
    ("training", "cancel", ("j1",), {}, post("/api/v1/training/jobs/j1/cancel", {})),
    ("training", "cancel", ("j1", ""), {}, post("/api/v1/training/jobs/j1/cancel", {})),
    (
        "training",
        "cancel",
        ("j1", "budget", "ten"),
        {},
        post("/api/v1/tenants/ten/training/jobs/j1/cancel", {"reason": "budget"}),
    ),
    ("training", "get_logs", ("j1", None, 20), {}, get("/api/v1/training/jobs/j1/logs", {"tail": 20})),
    ("training", "get_logs", ("j1", "ten"), {}, get("/api/v1/tenants/ten/training/jobs/j1/logs", {"tail": 100})),
    ("training", "get_metrics", ("j1",), {"tenant_id": "ten"}, get("/api/v1/tenants/ten/training/jobs/j1/metrics")),
    # datasets
    ("training", "create_dataset", ("D",), {}, post("/api/v1/datasets", {"name": "D", "dataset_type": "sft"})),
    (
        "training",
        "create_dataset",
        ("D", "about", "preference", "ten"),
        {},
        post("/api/v1/tenants/ten/datasets", {"name": "D", "description": "about", "dataset_type": "preference"}),
    ),
    ("training", "list_datasets", (), {}, get("/api/v1/datasets", PAGE)),
    ("training", "list_datasets", (), {"dataset_type": "dpo"}, get("/api/v1/datasets", {**PAGE, "type": "dpo"})),
    ("training", "list_datasets", (), {"dataset_type": ""}, get("/api/v1/datasets", PAGE)),
    (
        "training",
        "list_datasets",
        ("ten", "sft", 3, 4),
        {},
        get("/api/v1/tenants/ten/datasets", {"limit": 3, "offset": 4, "type": "sft"}),
    ),
    ("training", "get_dataset", ("d1", "ten"), {}, get("/api/v1/tenants/ten/datasets/d1")),
    ("training", "delete_dataset", ("d1",), {}, delete("/api/v1/datasets/d1")),
    (
        "training",
        "generate_from_feedback",
        ("N",),
        {},
        post("/api/v1/datasets/from-feedback", {"name": "N", "min_rating": 1, "dataset_type": "sft"}),
    ),
    (
        "training",
        "generate_from_feedback",
        ("N", "ten"),
        {},
        post("/api/v1/tenants/ten/datasets/from-feedback", {"name": "N", "min_rating": 1, "dataset_type": "sft"}),
    ),
    (
        "training",
        "generate_from_feedback",
        ("N",),
        {"min_rating": None, "dataset_type": "dpo"},
        post("/api/v1/datasets/from-feedback", {"name": "N", "min_rating": None, "dataset_type": "dpo"}),
    ),
]

# What each operation returns is built from (or is) the answer; enough of a valid answer for all.
ANSWER_FOR = {
    ("tenants", "list"): [],
    ("feedback", "list"): [],
    ("training", "list"): [],
    ("training", "list_datasets"): [],
    ("feedback", "export"): "",
    ("training", "get_logs"): {"logs": ""},
}
RECORD_FOR = {"tenants": "Tenant", "feedback": "Feedback", "stats": "FeedbackStats", "training": "TrainingJob"}


def answer_for(namespace, operation):
    if (namespace, operation) in ANSWER_FOR:
        return ANSWER_FOR[(namespace, operation)]
    if operation == "stats":
        return ANSWERS["FeedbackStats"]
    if "dataset" in operation or operation == "generate_from_feedback":
        return ANSWERS["Dataset"]
    return ANSWERS[RECORD_FOR[namespace]]


@pytest.mark.parametrize(
    "namespace, operation, args, kwargs, expected", CASES, ids=[f"{c[0]}.{c[1]}-{i}" for i, c in enumerate(CASES)]
)
def test_request_sent(client, recorder, namespace, operation, args, kwargs, expected):
    recorder.answer = answer_for(namespace, operation)
    getattr(getattr(client, namespace), operation)(*args, **kwargs)
    assert recorder.calls == [expected]
    call = recorder.calls[0]
    for member in ("params", "json"):
        if member in expected:
            assert list(call[member]) == list(expected[member]), f"{member} order"


def test_caller_mappings_are_not_changed(client, recorder):
    """The caller's own containers go out as given and are never modified."""
    recorder.answer = ANSWERS["TrainingJob"]
    config = {"lr": 0.1}
    client.training.create("sft", config=config)
    assert config == {"lr": 0.1}
    tags = ["a", "b"]
    recorder.answer = []
    client.feedback.list(tags=tags)
    assert tags == ["a", "b"]


def test_subclass_request_override_is_the_seam():
    """A client subclass overriding _request sees every namespace call."""
    from korvane_sdk import KorvaneClient

    class Offline(KorvaneClient):
        def _request(self, method, path, params=None, json=None, files=None, raw_response=False):
            self.seen = (method, path, params)
            return {"api_key": "sk-new"}

    client = Offline(api_key="k")
    assert client.tenants.regenerate_api_key("t9") == {"api_key": "sk-new"}
    assert client.seen == ("POST", "/api/v1/tenants/t9/regenerate-key", None)
