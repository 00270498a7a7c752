"""What a type checker sees of the public surface: checked by `./run lint` with mypy --strict and pyright.

Never run: every function here is only type-checked. Each assert_type is a claim about a result
type; a wrong stub fails the check, and so does a call that a user would write and the stubs refuse.
"""

import io
from collections.abc import Iterator, Mapping
from datetime import datetime
from types import MappingProxyType
from typing import Any, Literal

import korvane_sdk
from korvane_sdk import ChatCompletion, ChatMessage, Korvane, KorvaneClient, KorvaneError
from korvane_sdk.aio import AsyncChatCompletionStream, AsyncKorvane, AsyncKorvaneClient
from korvane_sdk.batch import BatchSummary, Limiter, RateLimits, TokenBucket, aresults, arun, estimate_tokens, run
from korvane_sdk.chat import ChatCompletionStream
from korvane_sdk.exceptions import NotFoundError, RateLimitError
from korvane_sdk.http import AsyncSession, Session
from korvane_sdk.models import ChatCompletionChunk, Dataset, Feedback, FeedbackStats, ModelInfo, Tenant, TrainingJob
from korvane_sdk.testing import LocalPlatform, cassette
from korvane_sdk.types import JSON, ChunkChoice, JobMetrics, TenantUsage
from typing_extensions import assert_type


def whole_and_streamed(client: KorvaneClient) -> None:
    messages = [{"role": "user", "content": "Hi"}]  # list[dict[str, str]]: a Sequence of Mappings
    assert_type(client.chat.completions.create(model="m", messages=messages), ChatCompletion)
    assert_type(client.chat.completions.create(model="m", messages=messages, stream=False), ChatCompletion)
    assert_type(client.chat.completions.create(model="m", messages=messages, stream=True), ChatCompletionStream)
    assert_type(client.chat.completions.create("m", messages, 0.5, 10, True), ChatCompletionStream)
    completion = client.chat.completions.create(model="m", messages=messages)
    # Underscored so that it never meets a field's name (Feedback has a request_id field).
    assert_type(completion._request_id, str | None)
    flag: bool = len(messages) > 1
    assert_type(
        client.chat.completions.create(model="m", messages=messages, stream=flag),
        ChatCompletion | ChatCompletionStream,
    )
    with client.chat.completions.create(model="m", messages=messages, stream=True) as stream:
        assert_type(stream, ChatCompletionStream)
        for chunk in stream:
            assert_type(chunk, ChatCompletionChunk)
            for choice in chunk.choices:
                assert_type(choice, ChunkChoice)
                assert_type(choice["delta"].get("content", ""), str)
                assert_type(choice["finish_reason"], str | None)
    with client.chat.completions.create(model="m", messages=messages, stream=True) as stream:
        for text in stream.text_deltas(1):
            assert_type(text, str)
        assert_type(stream.get_final_completion(), ChatCompletion)
        assert_type(stream.get_final_answer(), dict[str, Any])
    with cassette("tape.json", mode="none") as tape, tape.client(api_key="k") as replayed:
        assert_type(replayed, KorvaneClient)
        assert_type(tape.attach(client), KorvaneClient)
    reply = client.chat.completions.create(model="m", messages=messages)
    assert_type(reply.choices[0].message.content, str)
    assert_type(reply.usage.total_tokens if reply.usage else 0, int)


def message_kinds(client: KorvaneClient, history: list[ChatMessage], extra: Mapping[str, Any]) -> None:
    mixed: list[dict[str, str] | ChatMessage] = [ChatMessage(role="user", content="Hi")]
    client.chat.completions.create(model="m", messages=history)
    client.chat.completions.create(model="m", messages=mixed)
    client.chat.completions.create(model="m", messages=(extra,))
    client.chat.completions.create(model="m", messages=[], stop=["\n"], temperature=None, user="u-1")


def client_settings() -> None:
    client = Korvane(api_key="sk", timeout=0.5, max_retries=1, verify_ssl=False)
    assert_type(client, KorvaneClient)
    assert_type(client.timeout, float | None)
    assert_type(Korvane(timeout=None).with_options(timeout=None), KorvaneClient)
    with KorvaneClient() as same:
        assert_type(same, KorvaneClient)
        assert_type(same.list_models(), list[ModelInfo])
    assert_type(korvane_sdk.__version__, str)
    assert_type(client.with_options(timeout=5, max_retries=1), KorvaneClient)
    assert_type(client.with_options(timeout=2.5).chat.completions.create(model="m", messages=[]), ChatCompletion)


class Tuned(KorvaneClient):
    pass


def subclass_copies() -> None:
    assert_type(Tuned().with_options(max_retries=1), Tuned)
    with Tuned() as tuned:
        assert_type(tuned, Tuned)


def administration(client: KorvaneClient, since: datetime) -> None:
    assert_type(client.tenants.list(limit=10), list[Tenant])
    assert_type(client.tenants.create("Acme", metadata={"region": "eu"}), Tenant)
    assert_type(client.tenants.delete("t1"), bool)
    assert_type(client.feedback.list(tenant_id="t1", start_date=since), list[Feedback])
    assert_type(client.feedback.stats(), FeedbackStats)
    assert_type(client.feedback.export(format="csv"), str)
    assert_type(client.training.create("sft", num_gpus=2), TrainingJob)
    assert_type(client.training.list_datasets(), list[Dataset])
    assert_type(client.training.get_logs("j1", tail=5), str)
    metrics = client.training.get_metrics("j1")
    assert_type(metrics, JobMetrics)
    assert_type(metrics["metrics"].get("loss"), float | None)
    assert_type(metrics["history"][0]["step"], int)
    usage = client.tenants.get_usage("t1")
    assert_type(usage, TenantUsage)
    assert_type(usage["monthly_tokens_limit"], int | None)
    for tenant in client.tenants.iter(is_active=True, page_size=50):
        assert_type(tenant, Tenant)
    assert_type(next(client.feedback.iter(tenant_id="t1", rating=1)), Feedback)
    assert_type(list(client.training.iter_jobs(status="running")), list[TrainingJob])
    assert_type(next(client.training.iter_datasets(dataset_type="sft")), Dataset)


def job_statuses(client: KorvaneClient, job: TrainingJob) -> None:
    assert_type(job.status, Literal["pending", "running", "completed", "failed", "cancelled"])
    assert_type(client.training.list(status="cancelled"), list[TrainingJob])
    client.training.list(status="complete")  # type: ignore[arg-type]  # a typo the platform answers with []


def arguments_that_run(client: KorvaneClient, frozen: MappingProxyType[str, Any]) -> None:
    # Each is accepted at run time: a tuple of tags, a read-only mapping, a file object to upload.
    client.feedback.create("r1", 1, tags=("good", "short"))
    client.feedback.list(tags=("good",))
    client.training.create("sft", config=frozen)
    client.tenants.create("Acme", metadata=frozen)
    client.tenants.update("t1", metadata=frozen)
    client.training.upload_dataset("d1", io.BytesIO(b"{}\n"))
    with open("data.jsonl", "rb") as data:
        client.training.upload_dataset("d1", data)


def errors(client: KorvaneClient) -> int | None:
    try:
        client.tenants.get("t1")
    except NotFoundError as error:
        assert_type(error.http_status, int | None)
        assert_type(error.request_id, str | None)
        assert_type(error.headers, dict[str, str] | None)
    except RateLimitError as error:
        return error.retry_after
    except KorvaneError as error:
        assert_type(str(error), str)
    return None


def testing_kit() -> None:
    with LocalPlatform(job_seconds=0.5) as platform:
        assert_type(platform.url, str)
        assert_type(platform.client(timeout=2, retry_on_busy=True), KorvaneClient)
        assert_type(platform.async_client(timeout=2), AsyncKorvane)
        platform.inject_rate_limit(times=2, retry_after="1")
        assert_type(platform.requests("/v1/models"), int)


async def raw_answers(session: Session, awaited: AsyncSession) -> None:
    assert_type(session.request(method="GET", url="http://127.0.0.1/v1/models").json(), JSON)
    assert_type((await awaited.request(method="GET", url="http://127.0.0.1/v1/models")).json(), JSON)


def records() -> Iterator[str]:
    tenant = Tenant.model_validate({"id": "t1", "name": "Acme", "slug": "acme", "created_at": "2024-01-15T10:30:00Z"})
    assert_type(tenant, Tenant)
    assert_type(tenant.created_at, datetime)
    assert_type(tenant.model_copy(update={"name": "B"}), Tenant)
    yield tenant.model_dump_json()


async def awaited(client: AsyncKorvane, since: datetime) -> None:
    messages = [{"role": "user", "content": "Hi"}]
    assert_type(await client.chat.completions.create(model="m", messages=messages), ChatCompletion)
    stream = await client.chat.completions.create(model="m", messages=messages, stream=True)
    assert_type(stream, AsyncChatCompletionStream)
    async with stream:
        async for chunk in stream:
            assert_type(chunk, ChatCompletionChunk)
        async for text in stream.text_deltas():
            assert_type(text, str)
        assert_type(await stream.get_final_completion(), ChatCompletion)
    flag: bool = len(messages) > 1
    assert_type(
        await client.chat.completions.create(model="m", messages=messages, stream=flag),
        ChatCompletion | AsyncChatCompletionStream,
    )
    assert_type(await client.list_models(), list[ModelInfo])
    assert_type(await client.tenants.create("Acme", metadata={"region": "eu"}), Tenant)
    assert_type(await client.tenants.delete("t1"), bool)
    assert_type(await client.feedback.list(tenant_id="t1", start_date=since), list[Feedback])
    assert_type(await client.feedback.stats(), FeedbackStats)
    assert_type(await client.training.upload_dataset("d1", "data.jsonl"), Dataset)
    assert_type(await client.training.get_metrics("j1"), JobMetrics)
    assert_type(await client.tenants.get_usage("t1"), TenantUsage)
    async for tenant in client.tenants.iter(is_active=True, page_size=50):
        assert_type(tenant, Tenant)
    assert_type([job async for job in client.training.iter_jobs(status="running")], list[TrainingJob])
    assert_type(client.with_options(timeout=5), AsyncKorvane)
    async with AsyncKorvaneClient(api_key="sk", timeout=0.5, retry_on_busy=True) as same:
        assert_type(same, AsyncKorvane)
    await client.aclose()


async def batch_work(client: KorvaneClient, aclient: AsyncKorvane) -> None:
    body = {"model": "m", "messages": [{"role": "user", "content": "Hi"}], "max_tokens": 16}
    requests = [{"id": "a", "body": body}]
    summary = run(requests, "out.jsonl", client=client, limits=RateLimits(requests_per_minute=60), progress=False)
    assert_type(summary, BatchSummary)
    assert_type(summary.answered + summary.failed + summary.skipped, int)
    limiter: Limiter = TokenBucket(RateLimits(tokens_per_minute=10_000))
    assert_type(await arun("in.jsonl", "out.jsonl", client=aclient, limiter=limiter, concurrency=8), BatchSummary)
    async for request_id, response, error in aresults(iter(requests), client=aclient):
        assert_type(request_id, str)
        assert_type(response, ChatCompletion | None)
        assert_type(error, BaseException | None)
    assert_type(estimate_tokens(body), int)
