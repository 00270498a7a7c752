"""What a cluster worker runs for one batch or partition: the requests answered by one asyncio client
per worker process, on one event loop thread of its own, and the results as plain rows."""

from __future__ import annotations

import asyncio
import json
import threading
from collections.abc import AsyncIterator, Iterable, Mapping
from typing import Any

from ._runner import aresults, error_entry

# Settings a client is made from (its constructor's parameters); the asyncio twin of a blocking
# client takes the same.
_CONFIGURATION = (
    "api_key",
    "api_url",
    "proxy_url",
    "timeout",
    "max_retries",
    "verify_ssl",
    "retry_on_busy",
    "backoff_base",
    "backoff_max",
    "retry_after_max",
)


def configuration_of(client: Any) -> dict[str, Any]:
    """A client's configuration, which makes an AsyncKorvane like it."""
    return {name: getattr(client, name) for name in _CONFIGURATION}


class WorkerLoop:
    """One event loop on a daemon thread, and the asyncio clients made on it, per worker process.

    Owner rule: the process-wide instance (``worker_loop()``) holds its loop, its thread and its
    clients (strong, by configuration) for the life of the worker process; nothing else holds them,
    and callers get only results. A client bound to this loop is used only from coroutines run here.
    """

    def __init__(self) -> None:
        self._loop = asyncio.new_event_loop()
        self._clients: dict[tuple[Any, ...], Any] = {}
        self._thread = threading.Thread(target=self._loop.run_forever, name="korvane-batch-loop", daemon=True)
        self._thread.start()

    def run(self, coroutine: Any) -> Any:
        """Runs a coroutine on the worker's loop; blocks this thread until it ends."""
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result()

    def client(self, configuration: Mapping[str, Any]) -> Any:
        """The worker's AsyncKorvane for this configuration (made at first use, then reused, so its
        connections serve every batch this worker gets)."""
        from ..aio import AsyncKorvane

        key = tuple(sorted((name, repr(value)) for name, value in configuration.items()))
        made = self._clients.get(key)
        if made is None:
            made = self._clients[key] = AsyncKorvane(**configuration)
        return made


_WORKER_LOOP: WorkerLoop | None = None
_WORKER_LOOP_LOCK = threading.Lock()


def worker_loop() -> WorkerLoop:
    """This process's WorkerLoop (see its owner rule), made at first use."""
    global _WORKER_LOOP
    with _WORKER_LOOP_LOCK:
        if _WORKER_LOOP is None:
            _WORKER_LOOP = WorkerLoop()
        return _WORKER_LOOP


def _plain(value: Any) -> Any:
    """A column value as plain Python: columnar engines hand nested lists over as numpy arrays."""
    if isinstance(value, Mapping):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if not isinstance(value, (str, bytes)) and hasattr(value, "tolist"):
        return _plain(value.tolist())
    return value


def request_rows(ids: Iterable[Any], bodies: Iterable[Any]) -> list[dict[str, Any]]:
    """Requests from an id column and a body column (mappings, or their JSON text); checked before
    anything is sent."""
    rows = []
    for request_id, body in zip(ids, bodies, strict=True):
        if isinstance(body, (str, bytes)):
            body = json.loads(body)
        if not isinstance(body, Mapping):
            raise TypeError(
                f"request {request_id!r}: body must be a mapping or its JSON text, not {type(body).__name__}"
            )
        rows.append({"id": str(request_id), "body": _plain(body)})
    return rows


async def _collect(requests: list[dict[str, Any]], client: Any, concurrency: int, limiter: Any) -> list[Any]:
    results: dict[str, Any] = {}
    answers = aresults(requests, client=client, concurrency=concurrency, limiter=limiter)
    async for request_id, response, error in answers:
        results[request_id] = (response, error)
    return [(row["id"], *results[row["id"]]) for row in requests]


def answer(
    requests: list[dict[str, Any]], configuration: Mapping[str, Any], *, concurrency: int, limiter: Any
) -> list[dict[str, Any]]:
    """Answers requests on this worker: rows of id, response (JSON text of the completion, or None)
    and error (JSON text of {"type", "status", "message"}, or None), in the order given."""
    loop = worker_loop()
    client = loop.client(configuration)
    out = []
    for request_id, response, error in loop.run(_collect(requests, client, concurrency, limiter)):
        out.append(
            {
                "id": request_id,
                "response": None if response is None else json.dumps(response.model_dump()),
                "error": None if error is None else json.dumps(error_entry(error)),
            }
        )
    return out
