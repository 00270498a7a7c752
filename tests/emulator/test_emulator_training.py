"""Training jobs: validation, the simulated lifecycle, logs, metrics, cancel."""

import time

import pytest

JOB_MEMBERS = [
    "id",
    "tenant_id",
    "status",
    "training_type",
    "base_model",
    "config",
    "progress",
    "current_step",
    "total_steps",
    "current_epoch",
    "total_epochs",
    "metrics",
    "created_at",
    "started_at",
    "completed_at",
    "output_model_id",
    "error_message",
]


def wait_for_status(emulator, job_id, wanted, base="/api/v1"):
    """Polls until the job reaches `wanted`; the jobs of these tests take 0.5 s."""
    deadline = time.monotonic() + 10
    seen = []
    while time.monotonic() < deadline:
        job = emulator.ok("GET", f"{base}/training/jobs/{job_id}")
        if not seen or seen[-1] != job["status"]:
            seen.append(job["status"])
        if job["status"] == wanted:
            return job, seen
        time.sleep(0.05)
    raise AssertionError(f"job stayed {seen}")


def test_create_answers_a_pending_job(emulator):
    reply = emulator.call("POST", "/api/v1/training/jobs", {"training_type": "lora", "config": {"num_epochs": 2}})
    assert reply.status == 201
    job = reply.json()
    assert list(job)[: len(JOB_MEMBERS)] == JOB_MEMBERS
    assert job["status"] == "pending" and job["progress"] == 0.0
    assert job["base_model"] == "meta-llama/Llama-3.1-8B-Instruct"
    assert job["total_epochs"] == 2 and job["total_steps"] > 0 and job["tenant_id"] == "default"
    assert job["started_at"] is None and job["output_model_id"] is None


@pytest.mark.parametrize(
    "body, status",
    [
        ({"training_type": "SFT"}, 422),
        ({"training_type": "rl"}, 422),
        ({}, 422),
        ({"training_type": "sft", "num_gpus": 0}, 422),
        ({"training_type": "sft", "num_gpus": 65}, 422),
        ({"training_type": "sft", "num_gpus": "8"}, 422),
        ({"training_type": "sft", "config": "fast"}, 422),
        ({"training_type": "sft", "dataset_id": "ds_missing"}, 404),
    ],
)
def test_create_validation(emulator, body, status):
    reply = emulator.call("POST", "/api/v1/training/jobs", body)
    assert reply.status == status


@pytest.mark.parametrize("gpus", [1, 64])
def test_gpu_bounds_are_inclusive(emulator, gpus):
    assert emulator.call("POST", "/api/v1/training/jobs", {"training_type": "dpo", "num_gpus": gpus}).status == 201


def test_lifecycle_to_completion(emulator, tenant):
    base = f"/api/v1/tenants/{tenant['id']}"
    dataset = emulator.ok("POST", f"{base}/datasets", {"name": "d"})
    job = emulator.ok("POST", f"{base}/training/jobs", {"training_type": "sft", "dataset_id": dataset["id"]})
    done, seen = wait_for_status(emulator, job["id"], "completed", base)
    assert seen[-1] == "completed" and set(seen) <= {"pending", "running", "completed"}
    assert done["progress"] == 1.0 and done["current_step"] == done["total_steps"]
    assert done["current_epoch"] == done["total_epochs"]
    assert done["started_at"] and done["completed_at"] and done["output_model_id"]
    assert done["metrics"]["loss"] < 1.0 and "learning_rate" in done["metrics"]

    metrics = emulator.ok("GET", f"{base}/training/jobs/{job['id']}/metrics")
    losses = [point["loss"] for point in metrics["history"]]
    assert len(losses) > 1 and losses == sorted(losses, reverse=True)

    logs = emulator.ok("GET", f"{base}/training/jobs/{job['id']}/logs", query={"tail": 100})
    lines = logs["logs"].split("\n")
    assert dataset["id"] in lines[1] and "completed" in lines[-1]
    tail = emulator.ok("GET", f"{base}/training/jobs/{job['id']}/logs", query={"tail": 2})["logs"]
    assert tail.split("\n") == lines[-2:]
    assert emulator.ok("GET", f"{base}/training/jobs/{job['id']}/logs", query={"tail": 0})["logs"] == ""

    models = emulator.ok("GET", "/v1/models")["data"]
    trained = [m for m in models if m["id"] == done["output_model_id"]]
    assert trained and trained[0]["is_custom"] and trained[0]["base_model"] == done["base_model"]
    chat = {"model": done["output_model_id"], "messages": [{"role": "user", "content": "hi"}]}
    assert emulator.call("POST", "/v1/chat/completions", chat, key=tenant["api_key"]).status == 200
    # Another tenant neither sees nor uses the model.
    other = emulator.ok("POST", "/api/v1/tenants", {"name": "Other"})
    assert done["output_model_id"] not in [
        m["id"] for m in emulator.ok("GET", "/v1/models", key=other["api_key"])["data"]
    ]
    assert emulator.call("POST", "/v1/chat/completions", chat, key=other["api_key"]).status == 404
    assert (
        emulator.call("POST", f"{base}/training/jobs/{job['id']}/cancel", {}).json()["error_code"]
        == "JOB_NOT_CANCELLABLE"
    )


def test_cancel_freezes_the_job(emulator):
    job = emulator.ok("POST", "/api/v1/training/jobs", {"training_type": "sft"})
    cancelled = emulator.ok("POST", f"/api/v1/training/jobs/{job['id']}/cancel", {"reason": "changed my mind"})
    assert cancelled["status"] == "cancelled" and cancelled["cancel_reason"] == "changed my mind"
    assert cancelled["output_model_id"] is None
    again = emulator.call("POST", f"/api/v1/training/jobs/{job['id']}/cancel")
    assert again.status == 409 and again.json()["error_code"] == "JOB_NOT_CANCELLABLE"
    time.sleep(0.6)  # past the job's whole duration: it must not complete afterwards
    later = emulator.ok("GET", f"/api/v1/training/jobs/{job['id']}")
    assert later["status"] == "cancelled" and later["progress"] == cancelled["progress"]
    logs = emulator.ok("GET", f"/api/v1/training/jobs/{job['id']}/logs")["logs"]
    assert logs.endswith("Job cancelled: changed my mind")


def test_emulated_failure(emulator):
    job = emulator.ok("POST", "/api/v1/training/jobs", {"training_type": "sft", "config": {"emulator_fail_at": 0.5}})
    failed, _ = wait_for_status(emulator, job["id"], "failed")
    assert failed["progress"] == 0.5 and failed["error_message"] and failed["output_model_id"] is None


def test_list_filters(emulator, tenant):
    sft = emulator.ok("POST", "/api/v1/training/jobs", {"training_type": "sft"})
    dpo = emulator.ok("POST", "/api/v1/training/jobs", {"training_type": "dpo"})
    mine = emulator.ok("POST", f"/api/v1/tenants/{tenant['id']}/training/jobs", {"training_type": "sft"})
    emulator.ok("POST", f"/api/v1/training/jobs/{dpo['id']}/cancel")

    def listed(base="/api/v1", **query):
        return [j["id"] for j in emulator.ok("GET", f"{base}/training/jobs", query=query)["jobs"]]

    assert listed() == [sft["id"], dpo["id"], mine["id"]]
    assert listed(training_type="dpo") == [dpo["id"]]
    assert listed(status="cancelled") == [dpo["id"]]
    assert listed(status="", training_type="sft") == [sft["id"], mine["id"]]
    assert listed(base=f"/api/v1/tenants/{tenant['id']}") == [mine["id"]]
    assert emulator.call("GET", f"/api/v1/tenants/{tenant['id']}/training/jobs/{sft['id']}").status == 404


@pytest.mark.parametrize("suffix", ["", "/logs", "/metrics", "/cancel"])
def test_unknown_job(emulator, suffix):
    method = "POST" if suffix == "/cancel" else "GET"
    reply = emulator.call(method, f"/api/v1/training/jobs/ftjob_nope{suffix}")
    assert reply.status == 404 and reply.json()["detail"] == "Training job 'ftjob_nope' not found"
