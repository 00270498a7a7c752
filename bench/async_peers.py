"""One peer of the concurrent benchmarks, in a process of its own (so its memory and CPU are its own).

Usage: python async_peers.py PEER SCENARIO URL N ROUNDS
  PEER      korvane-aio | korvane-http-aio | korvane-threads | korvane-blocking (N = 1) | aiohttp | httpx |
            openai
  SCENARIO  stream (N streams at once, every chunk read) | whole (N whole calls at once) |
            hold (N streams opened and their first chunk read, then held: memory per open stream)
Prints one JSON object: per round the count (chunks or calls), wall and CPU seconds; for "hold" the
resident memory before and while the N streams are open.
"""

import asyncio
import json
import os
import resource
import sys
import time
import urllib.request

MESSAGES = [{"role": "user", "content": "Hello"}]
MODEL = "bench-model"
PAYLOAD = {"model": MODEL, "messages": MESSAGES, "temperature": 0.7}
THREADS = 32


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def server_accepted():
    """Connections the server has accepted so far, when it tells (KORVANE_BENCH_STATUS: nginx's stub_status)."""
    status = os.environ.get("KORVANE_BENCH_STATUS")
    if not status:
        return None
    with urllib.request.urlopen(status, timeout=5) as answer:
        return int(answer.read().decode().splitlines()[2].split()[0])


# Each peer is (whole, stream_all, stream_first, close): coroutines for one call, one stream read to
# its end (returning the chunk count), one stream opened with its first chunk read (returning a
# handle to close later), and the client's closing.


def peer_aiohttp(url):
    import aiohttp

    session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0))
    endpoint = url + "/v1/chat/completions"

    async def whole():
        async with session.post(endpoint, json=PAYLOAD) as response:
            return json.loads(await response.read())["choices"][0]["message"]["content"]

    async def stream_all():
        chunks = 0
        async with session.post(endpoint, json={**PAYLOAD, "stream": True}) as response:
            async for line in response.content:
                if line.startswith(b"data: ") and not line.startswith(b"data: [DONE]"):
                    json.loads(line[6:])
                    chunks += 1
        return chunks

    async def stream_first():
        response = await session.post(endpoint, json={**PAYLOAD, "stream": True})
        async for line in response.content:
            if line.startswith(b"data: "):
                json.loads(line[6:])
                break
        return response

    return whole, stream_all, stream_first, session.close


def peer_httpx(url):
    import httpx

    limits = httpx.Limits(max_connections=None, max_keepalive_connections=None)
    client = httpx.AsyncClient(limits=limits, timeout=120)
    endpoint = url + "/v1/chat/completions"

    async def whole():
        response = await client.post(endpoint, json=PAYLOAD)
        return response.json()["choices"][0]["message"]["content"]

    async def stream_all():
        chunks = 0
        async with client.stream("POST", endpoint, json={**PAYLOAD, "stream": True}) as response:
            async for line in response.aiter_lines():
                if line.startswith("data: ") and line != "data: [DONE]":
                    json.loads(line[6:])
                    chunks += 1
        return chunks

    async def stream_first():
        request = client.build_request("POST", endpoint, json={**PAYLOAD, "stream": True})
        response = await client.send(request, stream=True)
        async for line in response.aiter_lines():
            if line.startswith("data: "):
                json.loads(line[6:])
                break
        return response

    return whole, stream_all, stream_first, client.aclose


def peer_openai(url):
    from openai import AsyncOpenAI

    client = AsyncOpenAI(api_key="sk-bench", base_url=url + "/v1", max_retries=0, timeout=120)

    async def whole():
        completion = await client.chat.completions.create(model=MODEL, messages=MESSAGES, temperature=0.7)
        return completion.choices[0].message.content

    async def stream_all():
        chunks = 0
        stream = await client.chat.completions.create(model=MODEL, messages=MESSAGES, temperature=0.7, stream=True)
        async for _ in stream:
            chunks += 1
        return chunks

    async def stream_first():
        stream = await client.chat.completions.create(model=MODEL, messages=MESSAGES, temperature=0.7, stream=True)
        await stream.__anext__()
        return stream

    return whole, stream_all, stream_first, client.close


def peer_korvane_aio(url):
    from korvane_sdk.aio import AsyncKorvane

    # Holding N streams open needs N connections (the default cap, 100, would make the rest wait).
    client = AsyncKorvane(api_key="sk-bench", proxy_url=url, max_retries=1, max_connections=max(100, HELD_STREAMS))
    completions = client.chat.completions

    async def whole():
        return (await completions.create(model=MODEL, messages=MESSAGES)).choices[0].message.content

    async def stream_all():
        chunks = 0
        async for _ in await completions.create(model=MODEL, messages=MESSAGES, stream=True):
            chunks += 1
        return chunks

    async def stream_first():
        stream = await completions.create(model=MODEL, messages=MESSAGES, stream=True)
        await stream.__anext__()
        return stream

    return whole, stream_all, stream_first, client.close


def peer_korvane_http_aio(url):
    """The transport alone: AsyncSession + aiter_lines + json.loads per data line, as the aiohttp peer."""
    from korvane_sdk.http import AsyncSession

    session = AsyncSession()
    endpoint = url + "/v1/chat/completions"
    headers = {"Authorization": "Bearer sk-bench"}

    async def whole():
        response = await session.request("POST", endpoint, json=PAYLOAD, headers=headers)
        return json.loads(response.content)["choices"][0]["message"]["content"]

    async def stream_all():
        chunks = 0
        response = await session.request(
            "POST", endpoint, json={**PAYLOAD, "stream": True}, headers=headers, stream=True
        )
        async for line in response.aiter_lines():
            if line.startswith(b"data: ") and not line.startswith(b"data: [DONE]"):
                json.loads(line[6:])
                chunks += 1
        return chunks

    async def stream_first():
        response = await session.request(
            "POST", endpoint, json={**PAYLOAD, "stream": True}, headers=headers, stream=True
        )
        async for line in response.aiter_lines():
            if line.startswith(b"data: "):
                json.loads(line[6:])
                break
        return response

    return whole, stream_all, stream_first, session.aclose


def peer_korvane_threads(url):
    """The blocking client through asyncio.to_thread: what users do today without an async client."""
    from concurrent.futures import ThreadPoolExecutor

    from korvane_sdk import KorvaneClient

    client = KorvaneClient(api_key="sk-bench", proxy_url=url, max_retries=1)
    completions = client.chat.completions
    asyncio.get_running_loop().set_default_executor(ThreadPoolExecutor(THREADS))

    def read_all():
        return sum(1 for _ in completions.create(model=MODEL, messages=MESSAGES, stream=True))

    async def whole():
        result = await asyncio.to_thread(completions.create, model=MODEL, messages=MESSAGES)
        return result.choices[0].message.content

    async def stream_all():
        return await asyncio.to_thread(read_all)

    async def stream_first():
        raise NotImplementedError("a held stream would hold a thread")

    async def close():
        client.close()

    return whole, stream_all, stream_first, close


def peer_korvane_blocking(url):
    """The blocking client called from the loop's own thread: for one stream alone (N = 1) only."""
    from korvane_sdk import KorvaneClient

    client = KorvaneClient(api_key="sk-bench", proxy_url=url, max_retries=1)
    completions = client.chat.completions

    async def whole():
        return completions.create(model=MODEL, messages=MESSAGES).choices[0].message.content

    async def stream_all():
        return sum(1 for _ in completions.create(model=MODEL, messages=MESSAGES, stream=True))

    async def stream_first():
        raise NotImplementedError("a held stream would block the loop")

    async def close():
        client.close()

    return whole, stream_all, stream_first, close


PEERS = {
    "aiohttp": peer_aiohttp,
    "httpx": peer_httpx,
    "openai": peer_openai,
    "korvane-aio": peer_korvane_aio,
    "korvane-http-aio": peer_korvane_http_aio,
    "korvane-threads": peer_korvane_threads,
    "korvane-blocking": peer_korvane_blocking,
}


async def close_held(handle):
    for name in ("aclose", "close", "release"):
        method = getattr(handle, name, None)
        if method is not None:
            result = method()
            if asyncio.iscoroutine(result):
                await result
            return


HELD_STREAMS = 0  # streams the "hold" scenario keeps open at once


async def run(peer, scenario, url, n, rounds):
    global HELD_STREAMS
    HELD_STREAMS = n if scenario == "hold" else 0
    whole, stream_all, stream_first, close = PEERS[peer](url)
    out = {"rounds": []}
    try:
        if scenario == "hold":
            # One stream first fills the caches and imports; a warm-up of N would leave its freed
            # memory to be reused by the N measured, hiding what they cost.
            await close_held(await stream_first())
            before = rss_kib()
            held = await asyncio.gather(*(stream_first() for _ in range(n)))
            out["rss_before_kib"], out["rss_open_kib"] = before, rss_kib()
            for handle in held:
                await close_held(handle)
            return out
        one = stream_all if scenario == "stream" else whole
        for _ in range(rounds):
            start, cpu = time.perf_counter(), cpu_seconds()
            results = await asyncio.gather(*(one() for _ in range(n)))
            count = sum(results) if scenario == "stream" else len(results)
            wall, cpu = time.perf_counter() - start, cpu_seconds() - cpu
            out["rounds"].append({"count": count, "wall": wall, "cpu": cpu, "accepted": server_accepted()})
        return out
    finally:
        await close()


def main():
    peer, scenario, url, n, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4 * n + 256)), hard))
    try:
        if peer.startswith("korvane") and "uvloop" in sys.argv[6:]:
            import uvloop

            uvloop.install()
        result = asyncio.run(run(peer, scenario, url, n, rounds))
    except ImportError as missing:
        result = {"skipped": f"{missing}"}
    print(json.dumps(result))


if __name__ == "__main__":
    main()
