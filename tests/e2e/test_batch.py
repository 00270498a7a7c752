"""A batch run against the stand-in: its 429s and 5xx waited out and repeated, its 404 an error line."""

import asyncio
import json

from korvane_sdk.batch import RateLimits, arun, run


def test_a_batch_against_the_stand_in(emulator, client_kind, tmp_path):
    emulator.inject_rate_limit(times=2, retry_after="1")
    emulator.inject_server_error(times=2, status=503)
    requests = [
        {"id": f"q{i}", "body": {"model": "korvane-1", "messages": [{"role": "user", "content": f"q{i}"}]}}
        for i in range(20)
    ]
    requests.append({"id": "lost", "body": {"model": "no-such-model", "messages": [{"role": "user", "content": "?"}]}})
    output = tmp_path / "out.jsonl"

    if client_kind == "blocking":
        summary = run(iter(requests), output, client=emulator.client(timeout=10), concurrency=4)
    else:

        async def go():
            async with emulator.async_client(timeout=10) as client:
                return await arun(iter(requests), output, client=client, concurrency=4)

        summary = asyncio.run(go())

    lines = {line["id"]: line for line in map(json.loads, output.read_text().splitlines())}
    assert (summary.answered, summary.failed, summary.skipped) == (20, 1, 0)
    assert lines["lost"]["error"]["type"] == "NotFoundError" and lines["lost"]["error"]["status"] == 404
    answer = lines["q5"]["response"]
    assert answer["model"] == "korvane-1" and answer["choices"][0]["message"]["content"]
    assert answer["usage"]["total_tokens"] > 0


def test_under_the_stand_ins_limit_no_429_surfaces_and_only_refusals_are_sent_again(emulator, client_kind, tmp_path):
    # 20 requests per 2-second window: the run's burst meets 429s, waits them out, and goes on.
    emulator.set_limits(requests_per_minute=600, window_seconds=2)
    try:
        requests = [
            {"id": f"q{i}", "body": {"model": "korvane-1", "messages": [{"role": "user", "content": "hi"}]}}
            for i in range(60)
        ]
        output = tmp_path / "out.jsonl"
        limits = RateLimits(requests_per_minute=600)
        if client_kind == "blocking":
            summary = run(requests, output, client=emulator.client(timeout=10), concurrency=8, limits=limits)
        else:

            async def go():
                async with emulator.async_client(timeout=10) as client:
                    return await arun(requests, output, client=client, concurrency=8, limits=limits)

            summary = asyncio.run(go())
        counters = emulator.limit_counters()
    finally:
        emulator.reset()

    assert (summary.answered, summary.failed) == (60, 0)
    sent = counters["batch_ids"]
    assert set(sent) == {r["id"] for r in requests}
    assert sum(sent.values()) == 60 + counters["limited"]  # a request went again only after a 429
