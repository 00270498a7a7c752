"""A tour of korvane_sdk against the local platform stand-in (korvane-emulator).

Run it with `./run demo`, which builds everything first. It starts the emulator on a free port,
points a client at it and walks through every namespace with real requests.
"""

import asyncio
import contextlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Generator

from korvane_sdk import Korvane, KorvaneError, http
from korvane_sdk.aio import AsyncKorvane

ADMIN_KEY = "sk-tour-admin"


@contextlib.contextmanager
def emulator() -> Generator[str, None, None]:
    """Starts korvane-emulator on a free loopback port; yields its base URL; stops it after."""
    program = shutil.which("korvane-emulator", path=os.path.dirname(sys.executable)) or shutil.which("korvane-emulator")
    if not program:
        sys.exit("korvane-emulator is not installed: run ./run demo")
    process = subprocess.Popen(
        [program, "--port", "0", "--admin-key", ADMIN_KEY, "--job-seconds", "4"], stdout=subprocess.PIPE, text=True
    )
    try:
        assert process.stdout is not None  # stdout=PIPE above
        line = process.stdout.readline().strip()
        yield line.rsplit(" ", 1)[-1]
    finally:
        process.terminate()
        process.wait(timeout=10)


def heading(text: str) -> None:
    print(f"\n\033[1m== {text}\033[0m")


def progress_bar(fraction: float, width: int = 30) -> str:
    filled = int(round(fraction * width))
    return "[" + "#" * filled + "." * (width - filled) + f"] {fraction:6.1%}"


def tour(client: Korvane) -> None:
    heading("Models")
    models = client.list_models()
    width = max(len(m.id) for m in models)
    print(f"{'id':<{width}}  {'context':>8}  {'stream':<6}  custom")
    for info in models:
        print(f"{info.id:<{width}}  {info.context_length:>8}  {str(info.supports_streaming):<6}  {info.is_custom}")
    model = models[0].id

    heading("Chat: a whole completion")
    reply = client.chat.completions.create(
        model=model,
        messages=[{"role": "user", "content": "Tell me about quantum reranking"}],
        rerank_tier="quantum_cpu",
        rerank_k=4,
    )
    print(reply.choices[0].message.content)
    tokens = reply.usage.total_tokens if reply.usage else "unreported"
    print(f"usage: {tokens} tokens, tier {reply.rerank_tier}, quantum {reply.quantum_enhanced}")

    heading("Chat: streamed, as it arrives")
    with client.chat.completions.create(
        model=model, messages=[{"role": "user", "content": "Stream a short greeting please"}], stream=True
    ) as stream:
        for chunk in stream:
            for choice in chunk.choices:
                print(choice.get("delta", {}).get("content", ""), end="", flush=True)
    print()

    heading("Tenants")
    tenant = client.tenants.create(name="Acme Research", plan="pro", metadata={"region": "eu"})
    print(f"created {tenant.id} ({tenant.slug}) on plan {tenant.plan}")
    tenant = client.tenants.update(tenant.id, plan="enterprise")
    print(f"updated plan: {tenant.plan}")
    client.chat.completions.create(
        model=model, messages=[{"role": "user", "content": "hello from acme"}], tenant_id=tenant.id
    )
    usage = client.tenants.get_usage(tenant.id)
    print("usage this month:", f"tokens={usage['monthly_tokens_used']}, requests={usage['monthly_requests_used']}")

    heading("Feedback")
    for rating, text in ((1, "great answer"), (1, "very helpful"), (0, "fine"), (-1, "off topic")):
        answer = client.chat.completions.create(model=model, messages=[{"role": "user", "content": text}])
        client.feedback.create(
            request_id=answer.id,
            rating=rating,
            comment=text,
            tags=["tour"],
            prompt=text,
            response=answer.choices[0].message.content,
            tenant_id=tenant.id,
        )
    stats = client.feedback.stats(tenant_id=tenant.id)
    print(
        f"{stats.total_count} ratings: {stats.positive_count} good, {stats.neutral_count} neutral, "
        f"{stats.negative_count} bad ({stats.positive_rate:.0%} positive); tags {stats.tags_distribution}"
    )

    heading("Datasets")
    dataset = client.training.create_dataset(
        "support-conversations", description="uploaded in the tour", tenant_id=tenant.id
    )
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "conversations.jsonl"
        path.write_text("".join(f'{{"prompt": "question {i}", "completion": "answer {i}"}}\n' for i in range(250)))
        dataset = client.training.upload_dataset(dataset.id, str(path), tenant_id=tenant.id)
    print(f"uploaded: {dataset.name} holds {dataset.num_examples} examples, {dataset.size_bytes} bytes")
    from_feedback = client.training.generate_from_feedback("liked-answers", tenant.id, min_rating=1)
    print(f"from feedback: {from_feedback.name} holds {from_feedback.num_examples} examples")

    heading("Training")
    job = client.training.create("sft", dataset_id=dataset.id, num_gpus=4, tenant_id=tenant.id, config={"epochs": 3})
    print(f"job {job.id}: {job.training_type} on {job.base_model}")
    while job.status not in ("completed", "failed", "cancelled"):
        print(f"\r{job.status:<10} {progress_bar(job.progress)}", end="", flush=True)
        time.sleep(0.25)
        job = client.training.get(job.id, tenant_id=tenant.id)
    print(f"\r{job.status:<10} {progress_bar(job.progress)}")
    print(f"output model: {job.output_model_id}")
    print("last log lines:")
    for line in client.training.get_logs(job.id, tenant.id, 3).splitlines():
        print("  " + line)
    metrics = client.training.get_metrics(job.id, tenant_id=tenant.id)
    final = metrics.get("metrics", metrics)
    print("final metrics:", ", ".join(f"{name}={value}" for name, value in final.items()))

    heading("Errors are typed")
    try:
        client.tenants.get("no-such-tenant")
    except KorvaneError as error:
        print(f"{type(error).__name__}: {error}")


async def async_tour(url: str) -> None:
    heading("Async: the same client, awaited")
    async with AsyncKorvane(api_key=ADMIN_KEY, api_url=url, proxy_url=url) as client:
        model = (await client.list_models())[0].id
        questions = ["What is a tenant?", "What is LoRA?", "What is reranking?"]
        started = time.perf_counter()
        replies = await asyncio.gather(
            *(client.chat.completions.create(model=model, messages=[{"role": "user", "content": q}]) for q in questions)
        )
        print(f"{len(replies)} completions at once in {time.perf_counter() - started:.3f} s:")
        for question, reply in zip(questions, replies, strict=True):
            print(f"  {question:<20} -> {reply.choices[0].message.content}")
        print("streamed: ", end="")
        stream = await client.chat.completions.create(
            model=model, messages=[{"role": "user", "content": "stream me some words"}], stream=True
        )
        async with stream:
            async for chunk in stream:
                if chunk.choices:
                    print(chunk.choices[0].get("delta", {}).get("content", ""), end="", flush=True)
        print()
        tenants = [tenant.slug async for tenant in client.tenants.iter(page_size=2)]
        print(f"tenants, page by page: {tenants}")
        try:
            await asyncio.wait_for(client.tenants.get("no-such-tenant"), timeout=5)
        except KorvaneError as error:
            print(f"{type(error).__name__}: {error}")


def main() -> None:
    with emulator() as url:
        print(f"korvane-emulator at {url}")
        with Korvane(api_key=ADMIN_KEY, api_url=url, proxy_url=url) as client:
            print(client)
            tour(client)
        if hasattr(http, "AsyncSession"):
            asyncio.run(async_tour(url))
        else:
            heading("Async: skipped (this build has no event-loop transport yet)")


if __name__ == "__main__":
    main()
