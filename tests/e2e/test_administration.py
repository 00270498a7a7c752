"""Tenants, feedback, datasets and training jobs end to end against the platform stand-in."""

import datetime
import time

import pytest
from korvane_sdk import exceptions as ex
from korvane_sdk.models import Dataset, Feedback, FeedbackStats, Tenant, TrainingJob


def chat_once(client, text="hello there", **kwargs):
    model = client.list_models()[0].id
    return client.chat.completions.create(model=model, messages=[{"role": "user", "content": text}], **kwargs)


def test_tenant_lifecycle(client, emulator, new_client):
    tenant = client.tenants.create(name="Acme", plan="pro", metadata={"region": "eu"})
    assert isinstance(tenant, Tenant) and tenant.slug and tenant.plan == "pro" and tenant.is_active
    assert client.tenants.get(tenant.id) == tenant
    updated = client.tenants.update(tenant.id, is_active=False, plan="enterprise")
    assert (updated.is_active, updated.plan, updated.name) == (False, "enterprise", "Acme")
    assert [t.id for t in client.tenants.list(is_active=False)] == [tenant.id]
    assert client.tenants.list(is_active=True) == []

    chat_once(client, "count my usage", tenant_id=tenant.id)
    usage = client.tenants.get_usage(tenant.id)
    assert isinstance(usage, dict) and usage
    assert client.tenants.get(tenant.id).monthly_requests_used == 1

    key = client.tenants.regenerate_api_key(tenant.id)["api_key"]
    with new_client(api_key=key, api_url=emulator.url, proxy_url=emulator.url) as tenant_client:
        assert chat_once(tenant_client).choices

    assert client.tenants.delete(tenant.id) is True
    with pytest.raises(ex.NotFoundError):
        client.tenants.get(tenant.id)


def test_tenant_name_checked_before_sending(client, emulator):
    before = emulator.requests()
    with pytest.raises(ValueError):
        client.tenants.create(name="")
    assert emulator.requests() == before


@pytest.mark.parametrize("scoped", [False, True])
def test_feedback(client, emulator, scoped):
    tenant_id = client.tenants.create(name="Feedback Co").id if scoped else None
    answers = [chat_once(client, f"question {i}") for i in range(3)]
    created = [
        client.feedback.create(
            request_id=a.id, rating=r, comment=f"c{r}", tags=tags, prompt="p", response="r", tenant_id=tenant_id
        )
        for a, r, tags in zip(answers, (1, 0, -1), (["good", "fast"], ["fast"], []), strict=True)
    ]
    assert all(isinstance(f, Feedback) for f in created)
    assert client.feedback.get(created[0].id, tenant_id=tenant_id) == created[0]
    assert {f.id for f in client.feedback.list(tenant_id=tenant_id)} == {f.id for f in created}
    assert [f.rating for f in client.feedback.list(tenant_id=tenant_id, rating=0)] == [0]
    assert [f.id for f in client.feedback.list(tenant_id=tenant_id, tags=["good"])] == [created[0].id]
    future = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)
    assert client.feedback.list(tenant_id=tenant_id, start_date=future) == []

    stats = client.feedback.stats(tenant_id=tenant_id)
    assert isinstance(stats, FeedbackStats)
    assert (stats.total_count, stats.positive_count, stats.neutral_count, stats.negative_count) == (3, 1, 1, 1)
    assert stats.tags_distribution == {"good": 1, "fast": 2}

    exported = client.feedback.export(tenant_id=tenant_id)
    assert len(exported.strip().splitlines()) == 3
    csv = client.feedback.export(tenant_id=tenant_id, format="csv", rating=-1)
    assert len(csv.strip().splitlines()) == 2  # header and the one bad rating

    assert client.feedback.delete(created[2].id, tenant_id=tenant_id) is True
    with pytest.raises(ex.NotFoundError):
        client.feedback.get(created[2].id, tenant_id=tenant_id)


def test_feedback_rating_checked_before_sending(client, emulator):
    before = emulator.requests()
    with pytest.raises(ex.InvalidRequestError, match="Rating must be -1, 0, or 1"):
        client.feedback.create(request_id="r", rating=2)
    assert emulator.requests() == before


def test_datasets(client, tmp_path):
    tenant_id = client.tenants.create(name="Data Co").id
    dataset = client.training.create_dataset("conversations", description="d", tenant_id=tenant_id)
    assert isinstance(dataset, Dataset) and dataset.num_examples == 0 and dataset.dataset_type == "sft"
    path = tmp_path / "data.jsonl"
    path.write_text("".join(f'{{"prompt": "q{i}", "completion": "a{i}"}}\n' for i in range(40)))
    uploaded = client.training.upload_dataset(dataset.id, str(path), tenant_id=tenant_id)
    assert (uploaded.num_examples, uploaded.size_bytes) == (40, path.stat().st_size)
    assert client.training.get_dataset(dataset.id, tenant_id) == uploaded
    assert [d.id for d in client.training.list_datasets(tenant_id, dataset_type="sft")] == [dataset.id]
    assert client.training.list_datasets(tenant_id, dataset_type="dpo") == []

    for rating in (1, 1, -1):
        client.feedback.create(
            request_id=chat_once(client).id, rating=rating, prompt="p", response="r", tenant_id=tenant_id
        )
    generated = client.training.generate_from_feedback("liked", tenant_id, min_rating=1)
    assert (generated.name, generated.num_examples) == ("liked", 2)

    assert client.training.delete_dataset(dataset.id, tenant_id=tenant_id) is True
    with pytest.raises(ex.NotFoundError):
        client.training.get_dataset(dataset.id, tenant_id=tenant_id)
    with pytest.raises(FileNotFoundError):
        client.training.upload_dataset(generated.id, str(tmp_path / "missing.jsonl"), tenant_id=tenant_id)


def wait_for(client, job, statuses, tenant_id=None, limit=10.0):
    deadline = time.monotonic() + limit
    while job.status not in statuses:
        assert time.monotonic() < deadline, job
        time.sleep(0.05)
        job = client.training.get(job.id, tenant_id=tenant_id)
    return job


def test_training_jobs(client, emulator):
    dataset = client.training.create_dataset("for training")
    job = client.training.create("lora", dataset_id=dataset.id, num_gpus=2, config={"lr": 0.001})
    assert isinstance(job, TrainingJob) and job.status == "pending" and job.training_type == "lora"
    done = wait_for(client, job, {"completed"})
    assert done.progress == pytest.approx(1.0) and done.output_model_id and done.completed_at
    assert len(client.training.get_logs(done.id, None, 2).splitlines()) == 2
    assert client.training.get_metrics(done.id)
    assert [j.id for j in client.training.list(status="completed", training_type="lora")] == [done.id]
    assert done.output_model_id in {m.id for m in client.list_models()}

    other = client.training.create("sft")
    cancelled = client.training.cancel(other.id, reason="changed my mind")
    assert cancelled.status == "cancelled"
    with pytest.raises(ex.KorvaneError) as caught:
        client.training.cancel(done.id)
    assert (caught.value.http_status, caught.value.error_code) == (409, "JOB_NOT_CANCELLABLE")


def test_training_checks_before_sending(client, emulator):
    before = emulator.requests()
    with pytest.raises(ex.TrainingError, match="Invalid training type: SFT"):
        client.training.create("SFT")
    with pytest.raises(ValueError):
        client.training.create("sft", num_gpus=65)
    assert emulator.requests() == before
    with pytest.raises(ex.NotFoundError):
        client.training.get("no-such-job")


def test_page_iterators_against_the_platform(client, emulator):
    made = {client.tenants.create(name=f"Paged {i}").id for i in range(5)}
    before = emulator.requests("/api/v1/tenants")
    seen = [tenant.id for tenant in client.tenants.iter(page_size=2)]
    assert made <= set(seen) and len(seen) == len(set(seen))  # every tenant once
    assert emulator.requests("/api/v1/tenants") - before == len(seen) // 2 + 1


def test_deleting_while_paging_skips_and_collecting_first_deletes_all(client):
    made = [client.tenants.create(name=f"Doomed {i}").id for i in range(100)]
    for tenant in client.tenants.iter(page_size=10):  # what the documentation warns against
        client.tenants.delete(tenant.id)
    left = [tenant.id for tenant in client.tenants.iter()]
    assert len(left) == 50 and set(left) < set(made)  # silently half, as documented

    doomed = [tenant.id for tenant in client.tenants.iter(page_size=10)]  # the documented pattern
    for tenant_id in doomed:
        client.tenants.delete(tenant_id)
    assert client.tenants.list() == []


@pytest.mark.parametrize("kind", ["", "Async"])
@pytest.mark.parametrize(
    "manager, method",
    [("Tenant", "iter"), ("Feedback", "iter"), ("Training", "iter_jobs"), ("Training", "iter_datasets")],
)
def test_page_iterators_document_the_deletion_trap(kind, manager, method):
    from korvane_sdk import aio, feedback, tenants, training

    module = aio if kind else {"Tenant": tenants, "Feedback": feedback, "Training": training}[manager]
    doc = getattr(getattr(module, f"{kind}{manager}Manager"), method).__doc__
    assert "deleting the records while iterating" in doc and "Collect first" in doc


def test_errors_carry_the_platform_request_id(client):
    with pytest.raises(ex.NotFoundError) as caught:
        client.tenants.get("no-such-tenant")
    assert caught.value.request_id.startswith("req_") and caught.value.method == "GET"
    assert caught.value.url == client.api_url + "/api/v1/tenants/no-such-tenant"
