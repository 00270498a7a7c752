"""Batch work on clusters under a rate limit: the rate sustained against the rate allowed, with 4
workers sharing one limit, on Ray Data (korvane_sdk.batch.ray) and Dask (korvane_sdk.batch.dask);
beside them the usual hand-made form, Ray Data's map_batches over an aiohttp function whose workers
share a semaphore actor (a cap on requests in flight, not on their rate), which retries its 429s
after Retry-After; and whether ray.data.llm's HTTP request processor runs here without vLLM/torch.

The stand-in limits to LIMIT requests a minute over 5-second windows; each run sends COUNT requests.
"""

from __future__ import annotations

import asyncio
import json
import time

from korvane_sdk.testing import LocalPlatform

COUNT = 3000
LIMIT = 12000  # requests a minute: 200 a second
WINDOW = 5
WORKERS = 4


def requests(count: int) -> list[dict]:
    return [
        {
            "id": f"b-{i}",
            "body": {"model": "korvane-1-mini", "max_tokens": 4, "messages": [{"role": "user", "content": f"q {i}"}]},
        }
        for i in range(count)
    ]


def report(name: str, platform: LocalPlatform, elapsed: float, rows: list[dict]) -> None:
    """The whole run's rate (start-up of the workers included) and the busiest window's, each against
    the rate allowed, and what the platform refused."""
    seen = platform.limit_counters()
    served = sum(w["requests"] for w in seen["windows"])
    errors = sum(1 for row in rows if row.get("error"))
    allowed = LIMIT / 60
    busiest = max(w["requests"] for w in seen["windows"]) / WINDOW
    print(
        f"{name:<48} whole run {served / elapsed:6.1f} req/s ({served / elapsed / allowed:.2f} of allowed), "
        f"busiest window {busiest:6.1f} req/s ({busiest / allowed:.2f}); 429s at the platform: "
        f"{seen['limited']}; errors returned: {errors}",
        flush=True,
    )


def limited() -> LocalPlatform:
    return LocalPlatform(requests_per_minute=LIMIT, limit_window_seconds=WINDOW)


def ray_adapter(ray) -> None:
    from korvane_sdk.batch.ray import ChatCompletions, RayRateLimiter

    with limited() as platform:
        limiter = RayRateLimiter(requests_per_minute=LIMIT, name="bench-cluster")
        try:
            start = time.perf_counter()
            rows = (
                ray.data.from_items(requests(COUNT))
                .map_batches(
                    ChatCompletions,
                    fn_constructor_kwargs={"client": platform.client(), "limiter": limiter, "concurrency": 32},
                    concurrency=WORKERS,
                    batch_size=100,
                )
                .take_all()
            )
            report("Ray Data, korvane_sdk.batch.ray", platform, time.perf_counter() - start, rows)
        finally:
            limiter.close()


def ray_aiohttp_semaphore(ray) -> None:
    import aiohttp

    @ray.remote(num_cpus=0)
    class Semaphore:
        def __init__(self, permits: int) -> None:
            self._permits = asyncio.Semaphore(permits)

        async def acquire(self) -> None:
            await self._permits.acquire()

        def release(self) -> None:
            self._permits.release()

    class AiohttpCaller:
        def __init__(self, url: str, key: str, semaphore) -> None:
            self._url, self._key, self._semaphore = url, key, semaphore

        def __call__(self, batch):
            return asyncio.run(self._all(batch))

        async def _all(self, batch):
            headers = {"Authorization": f"Bearer {self._key}"}
            async with aiohttp.ClientSession(headers=headers) as session:
                pairs = zip(batch["id"], batch["body"], strict=True)
                rows = await asyncio.gather(*(self._one(session, i, b) for i, b in pairs))
            return {"id": [r[0] for r in rows], "response": [r[1] for r in rows], "error": [r[2] for r in rows]}

        async def _one(self, session, request_id, body):
            for _ in range(20):
                await self._semaphore.acquire.remote()
                try:
                    async with session.post(
                        self._url + "/v1/chat/completions",
                        data=body,
                        headers={"X-Korvane-Batch-Id": request_id, "Content-Type": "application/json"},
                    ) as answer:
                        text = await answer.text()
                        wait = float(answer.headers.get("Retry-After", 1)) if answer.status == 429 else 0.0
                finally:
                    await self._semaphore.release.remote()
                if answer.status == 429:
                    await asyncio.sleep(wait)
                    continue
                return request_id, text, None if answer.status == 200 else text
            return request_id, None, "gave up"

    with limited() as platform:
        semaphore = Semaphore.remote(16)
        items = [{"id": r["id"], "body": json.dumps(r["body"])} for r in requests(COUNT)]
        start = time.perf_counter()
        rows = (
            ray.data.from_items(items)
            .map_batches(
                AiohttpCaller,
                fn_constructor_kwargs={"url": platform.url, "key": platform.admin_key, "semaphore": semaphore},
                concurrency=WORKERS,
                batch_size=100,
            )
            .take_all()
        )
        report("Ray Data, aiohttp + semaphore actor (peer)", platform, time.perf_counter() - start, rows)
        ray.kill(semaphore)


def ray_data_llm(ray) -> None:
    try:
        from ray.data.llm import HttpRequestProcessorConfig, build_processor
    except Exception as error:  # noqa: BLE001 - what it needs is the finding
        print(f"ray.data.llm HTTP request processor: not usable here ({type(error).__name__}: {error})")
        return
    with limited() as platform:
        config = HttpRequestProcessorConfig(
            url=platform.url + "/v1/chat/completions",
            headers={"Authorization": f"Bearer {platform.admin_key}"},
            qps=int(LIMIT / 60 / WORKERS),  # per worker
            concurrency=WORKERS,
            max_retries=5,
        )
        processor = build_processor(
            config,
            preprocess=lambda row: {"id": row["id"], "payload": json.loads(row["body"])},
            postprocess=lambda row: {"id": row["id"], "response": json.dumps(row.get("http_response"))},
        )
        items = [{"id": r["id"], "body": json.dumps(r["body"])} for r in requests(COUNT)]
        start = time.perf_counter()
        try:
            rows = processor(ray.data.from_items(items)).take_all()
        except Exception as error:  # noqa: BLE001
            print(f"ray.data.llm HTTP request processor: failed ({type(error).__name__}: {error})")
            return
        report("ray.data.llm HTTP request processor (qps/worker)", platform, time.perf_counter() - start, rows)


def dask_adapter() -> None:
    import dask.bag
    import distributed
    from korvane_sdk.batch.dask import DaskRateLimiter, chat_completions

    with (
        distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
        limited() as platform,
    ):
        limiter = DaskRateLimiter(requests_per_minute=LIMIT, client=client)
        start = time.perf_counter()
        rows = (
            dask.bag.from_sequence(requests(COUNT), npartitions=WORKERS * 4)
            .map_partitions(chat_completions, client=platform.client(), limiter=limiter, concurrency=32)
            .compute()
        )
        report("Dask distributed, korvane_sdk.batch.dask", platform, time.perf_counter() - start, rows)
        limiter.close()


def main() -> None:
    print(f"{COUNT} requests, {WORKERS} workers, limit {LIMIT}/min over {WINDOW} s windows")
    try:
        import ray
    except ImportError:
        print("ray is not installed: Ray runs skipped")
    else:
        ray.init(num_cpus=WORKERS, include_dashboard=False, log_to_driver=False, configure_logging=False)
        try:
            ray_adapter(ray)
            ray_aiohttp_semaphore(ray)
            ray_data_llm(ray)
        finally:
            ray.shutdown()
    try:
        dask_adapter()
    except ImportError as error:
        print(f"dask distributed is not installed: Dask run skipped ({error})")


if __name__ == "__main__":
    main()
