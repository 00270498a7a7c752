"""Dask ``distributed``: chat completions over the partitions of a Bag or a DataFrame, under one rate
limit the whole cluster shares (a Dask actor holding the schedule).

    from dask.distributed import Client
    import dask.bag as db
    from korvane_sdk import Korvane
    from korvane_sdk.batch import RateLimits
    from korvane_sdk.batch.dask import DaskRateLimiter, chat_completions

    cluster_client = Client(...)
    limiter = DaskRateLimiter(RateLimits(requests_per_minute=6000))
    answered = db.from_sequence(requests, npartitions=8).map_partitions(
        chat_completions, client=Korvane(), limiter=limiter
    ).compute()

Requests: ``{"id": ..., "body": {...}}`` mappings (a Bag) or rows with ``id`` and ``body`` columns
(a DataFrame; ``meta=RESULT_META``). Results: ``id``, ``response`` (JSON text of the completion, or
None) and ``error`` (JSON text of ``{"type", "status", "message"}``, or None).
"""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import distributed

from ._cluster_limits import DEFAULT_HEADROOM, ReservationSchedule, ScheduleClient, ScheduleHolder, limits_of
from ._worker import answer, configuration_of, request_rows

__all__ = ["DaskRateLimiter", "chat_completions", "RESULT_META"]

# The columns (and their dtypes) of chat_completions' answer for a DataFrame partition.
RESULT_META = {"id": "object", "response": "object", "error": "object"}

# Threads that wait on actor calls, per worker process. Owner rule: made at the first call, held by
# this module for the life of the process; nothing else holds them. Sized for every request of a
# worker to wait on its slot at once (an event loop's default executor has a handful of threads,
# which would make the round trips to the actor, not the limit, set the pace).
_ACTOR_CALLS: ThreadPoolExecutor | None = None
_ACTOR_CALLS_LOCK = threading.Lock()


def _actor_calls() -> ThreadPoolExecutor:
    global _ACTOR_CALLS
    with _ACTOR_CALLS_LOCK:
        if _ACTOR_CALLS is None:
            _ACTOR_CALLS = ThreadPoolExecutor(max_workers=128, thread_name_prefix="korvane-dask-limit")
        return _ACTOR_CALLS


class DaskRateLimiter(ScheduleClient):
    """One rate limit for every worker of a Dask cluster: the schedule lives in an actor on one worker;
    this object, passed to tasks, reaches it from any worker.

    It waits on the caller's side: ``acquire`` asks the actor for a slot and sleeps until it comes.
    Requests are spaced evenly at ``1 - headroom`` of the limit (default 0.96), so the platform's count
    in any window stays under its limit. The actor lives while this object (on the client that made
    it) does, or until ``close()``.
    """

    def __init__(
        self,
        limits: Any = None,
        *,
        requests_per_minute: float | None = None,
        tokens_per_minute: float | None = None,
        client: distributed.Client | None = None,
        headroom: float = DEFAULT_HEADROOM,
    ) -> None:
        requests_per_minute, tokens_per_minute = limits_of(limits, requests_per_minute, tokens_per_minute)
        ReservationSchedule(requests_per_minute, tokens_per_minute, headroom=headroom)  # checks them here
        cluster = client if client is not None else distributed.get_client()
        # Owner rule: the future keeps the actor alive; only the object made on the client holds it
        # (copies sent to tasks carry the actor's proxy alone).
        self._future: distributed.Future | None = cluster.submit(
            ScheduleHolder, requests_per_minute, tokens_per_minute, headroom, actor=True, pure=False
        )
        self._actor = self._future.result()

    def _call(self, method: str, *args: Any) -> Any:
        actor = self._actor
        # An actor call from outside the worker's own event loop answers a future to wait on: waited
        # on a thread, so this event loop keeps serving the other requests meanwhile.
        call = getattr(actor, method)
        return asyncio.get_running_loop().run_in_executor(_actor_calls(), lambda: call(*args).result())

    def describe(self) -> dict[str, Any]:
        """The limits and how many requests were booked and pauses asked for so far."""
        result: dict[str, Any] = self._actor.describe().result()
        return result

    def close(self) -> None:
        """Lets the actor go (once no task holds it either)."""
        if self._future is not None:
            self._future.release()
            self._future = None

    def __getstate__(self) -> dict[str, Any]:
        return {"_actor": self._actor, "_future": None}

    def __repr__(self) -> str:
        return "DaskRateLimiter()"


def chat_completions(
    partition: Any,
    *,
    client: Any = None,
    limiter: Any = None,
    concurrency: int = 32,
    id_column: str = "id",
    body_column: str = "body",
) -> Any:
    """Answers one partition on a Dask worker, with the worker's one asyncio client (made from
    `client`'s configuration at its first partition and kept for the next; None: from the worker's
    environment), `concurrency` requests at a time, under `limiter` (a DaskRateLimiter, or any object
    with the limiter protocol).

    A Bag partition (an iterable of ``{"id", "body"}`` mappings) gives a list of result mappings; a
    pandas DataFrame partition gives a DataFrame of the RESULT_META columns. `client` travels to the
    workers pickled, as its configuration: the API key goes with it.
    """
    if isinstance(concurrency, bool) or not isinstance(concurrency, int) or concurrency < 1:
        raise ValueError(f"concurrency must be a positive int, not {concurrency!r}")
    if client is None:
        from ..client import Korvane

        client = Korvane()
    configuration = configuration_of(client)
    frame = hasattr(partition, "columns") and hasattr(partition, "iloc")
    if frame:
        rows = request_rows(partition[id_column], partition[body_column])
    else:
        items = [item for item in partition if isinstance(item, Mapping) or _refuse(item)]
        rows = request_rows((item[id_column] for item in items), (item[body_column] for item in items))
    answered = answer(rows, configuration, concurrency=concurrency, limiter=limiter)
    if not frame:
        return answered
    import pandas

    return pandas.DataFrame(answered, columns=list(RESULT_META)).astype(RESULT_META)


def _refuse(item: Any) -> bool:
    raise TypeError(f"a request must be a mapping with id and body, not {type(item).__name__}")
