"""One batch of chat requests against a stand-in, by one peer, in this process; prints a JSON report.

Usage: python batch_peers.py PEER URL KEY COUNT CONCURRENCY OUTPUT [REQUESTS_PER_MINUTE]
Peers: runner (korvane_sdk.batch.arun), gather (asyncio.gather + a semaphore over AsyncKorvane,
written by hand), openai (the same over openai's AsyncOpenAI). Each writes one JSONL line per
answer as it arrives, so all do the same work around the requests.
"""

import asyncio
import importlib
import json
import resource
import sys
import time


def requests(count):
    for i in range(count):
        body = {"model": "korvane-1", "messages": [{"role": "user", "content": f"question {i}"}], "max_tokens": 16}
        yield {"id": f"r{i}", "body": body}


async def runner(url, key, count, concurrency, output, per_minute):
    from korvane_sdk.aio import AsyncKorvane
    from korvane_sdk.batch import RateLimits, arun

    limits = RateLimits(requests_per_minute=per_minute) if per_minute else None
    async with AsyncKorvane(api_key=key, api_url=url, proxy_url=url) as client:
        summary = await arun(requests(count), output, client=client, concurrency=concurrency, limits=limits)
    return {"answered": summary.answered, "failed": summary.failed}


async def gather(url, key, count, concurrency, output, per_minute):
    from korvane_sdk.aio import AsyncKorvane

    gate = asyncio.Semaphore(concurrency)
    failed = 0
    with open(output, "w", encoding="utf-8") as sink:
        async with AsyncKorvane(api_key=key, api_url=url, proxy_url=url) as client:

            async def one(request):
                nonlocal failed
                async with gate:
                    try:
                        reply = await client.chat.completions.create(**request["body"])
                    except Exception as error:  # noqa: BLE001
                        failed += 1
                        line = {"id": request["id"], "error": {"type": type(error).__name__, "message": str(error)}}
                        sink.write(json.dumps(line) + "\n")
                    else:
                        sink.write(f'{{"id":{json.dumps(request["id"])},"response":{reply.model_dump_json()}}}\n')
                    sink.flush()

            await asyncio.gather(*(one(request) for request in requests(count)))
    return {"answered": count - failed, "failed": failed}


async def openai_peer(url, key, count, concurrency, output, per_minute):
    from openai import AsyncOpenAI

    gate = asyncio.Semaphore(concurrency)
    failed = 0
    with open(output, "w", encoding="utf-8") as sink:
        client = AsyncOpenAI(api_key=key, base_url=url + "/v1", max_retries=0)

        async def one(request):
            nonlocal failed
            async with gate:
                try:
                    reply = await client.chat.completions.create(**request["body"])
                except Exception as error:  # noqa: BLE001
                    failed += 1
                    line = {"id": request["id"], "error": {"type": type(error).__name__, "message": str(error)}}
                    sink.write(json.dumps(line) + "\n")
                else:
                    sink.write(f'{{"id":{json.dumps(request["id"])},"response":{reply.model_dump_json()}}}\n')
                sink.flush()

        await asyncio.gather(*(one(request) for request in requests(count)))
        await client.close()
    return {"answered": count - failed, "failed": failed}


PEERS = {"runner": runner, "gather": gather, "openai": openai_peer}
# Imported before the clock starts: the figures are the batch's, not the imports'.
IMPORTS = {"runner": ["korvane_sdk.aio", "korvane_sdk.batch"], "gather": ["korvane_sdk.aio"], "openai": ["openai"]}


def main():
    peer, url, key, count, concurrency, output = sys.argv[1:7]
    per_minute = float(sys.argv[7]) if len(sys.argv) > 7 else None
    for module in IMPORTS[peer]:
        importlib.import_module(module)
    started = time.perf_counter()
    report = asyncio.run(PEERS[peer](url, key, int(count), int(concurrency), output, per_minute))
    report["seconds"] = time.perf_counter() - started
    report["max_rss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps(report))


if __name__ == "__main__":
    main()
