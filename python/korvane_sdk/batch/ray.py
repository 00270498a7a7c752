"""Ray Data: chat completions over a Dataset with ``map_batches``, under one rate limit the whole
cluster shares (a named, detached Ray actor holding the schedule).

    import ray
    from korvane_sdk import Korvane
    from korvane_sdk.batch import RateLimits
    from korvane_sdk.batch.ray import ChatCompletions, RayRateLimiter

    limiter = RayRateLimiter(RateLimits(requests_per_minute=6000))
    answered = ray.data.from_items(requests).map_batches(
        ChatCompletions,
        fn_constructor_kwargs={"client": Korvane(), "limiter": limiter},
        concurrency=4,
        batch_size=64,
    )

Rows in: ``id`` (text) and ``body`` (the keywords of ``chat.completions.create``, as a mapping or its
JSON text). Rows out: ``id``, ``response`` (JSON text of the completion, or None) and ``error`` (JSON
text of ``{"type", "status", "message"}``, or None).
"""

from __future__ import annotations

from typing import Any

import ray

from ._cluster_limits import DEFAULT_HEADROOM, ReservationSchedule, ScheduleClient, ScheduleHolder, limits_of
from ._worker import answer, configuration_of, request_rows, worker_loop

__all__ = ["ChatCompletions", "RayRateLimiter"]

DEFAULT_LIMITER_NAME = "korvane-rate-limit"
DEFAULT_NAMESPACE = "korvane"


class RayRateLimiter(ScheduleClient):
    """One rate limit for every worker of a Ray cluster: the schedule lives in a named, detached actor
    (taking no CPU), found again by name, so drivers and workers anywhere in the cluster share it.

    It waits on the caller's side: ``acquire`` asks the actor for a slot and sleeps until it comes.
    Requests are spaced evenly at ``1 - headroom`` of the limit (default 0.96), so the platform's count
    in any window stays under its limit. The actor outlives the driver (detached): ``close()`` ends it.
    Making a limiter with a name already in use joins that actor, which must have the same limits.
    """

    def __init__(
        self,
        limits: Any = None,
        *,
        requests_per_minute: float | None = None,
        tokens_per_minute: float | None = None,
        name: str = DEFAULT_LIMITER_NAME,
        namespace: str = DEFAULT_NAMESPACE,
        headroom: float = DEFAULT_HEADROOM,
    ) -> None:
        requests_per_minute, tokens_per_minute = limits_of(limits, requests_per_minute, tokens_per_minute)
        # Checked here, where the caller sees the error, not in the actor.
        wanted = ReservationSchedule(requests_per_minute, tokens_per_minute, headroom=headroom).describe()
        holder = ray.remote(num_cpus=0)(ScheduleHolder)
        self._actor = holder.options(name=name, namespace=namespace, lifetime="detached", get_if_exists=True).remote(
            requests_per_minute, tokens_per_minute, headroom
        )
        found = ray.get(self._actor.describe.remote())
        keys = ("requests_per_minute", "tokens_per_minute", "headroom")
        if any(found[key] != wanted[key] for key in keys):
            raise ValueError(
                f"a rate limiter named {name!r} already runs with other limits "
                f"({ {key: found[key] for key in keys} }); close it or choose another name"
            )
        self.name = name
        self.namespace = namespace

    def _call(self, method: str, *args: Any) -> Any:
        return getattr(self._actor, method).remote(*args)  # an ObjectRef: awaitable in any event loop

    def describe(self) -> dict[str, Any]:
        """The limits and how many requests were booked and pauses asked for so far."""
        result: dict[str, Any] = ray.get(self._actor.describe.remote())
        return result

    def close(self) -> None:
        """Ends the actor (the limit is gone for every worker still holding it)."""
        ray.kill(self._actor)

    def __repr__(self) -> str:
        return f"RayRateLimiter(name={self.name!r}, namespace={self.namespace!r})"


class ChatCompletions:
    """A callable class for ``Dataset.map_batches``: each Ray worker makes one asyncio client (from
    `client`'s configuration; None: from the worker's environment) when it starts and answers every
    batch it gets with it, `concurrency` requests at a time, under `limiter` (a RayRateLimiter, or any
    object with the limiter protocol's acquire, settle and pause_all).

    `client` travels to the workers pickled, as its configuration: the API key goes with it.
    """

    def __init__(
        self,
        client: Any = None,
        *,
        limiter: Any = None,
        concurrency: int = 32,
        id_column: str = "id",
        body_column: str = "body",
    ) -> None:
        if isinstance(concurrency, bool) or not isinstance(concurrency, int) or concurrency < 1:
            raise ValueError(f"concurrency must be a positive int, not {concurrency!r}")
        if client is None:
            from ..client import Korvane

            client = Korvane()
        self._configuration = configuration_of(client)
        self._limiter = limiter
        self._concurrency = concurrency
        self._id_column = id_column
        self._body_column = body_column
        worker_loop().client(self._configuration)  # the worker's client, made once, here

    def __call__(self, batch: Any) -> dict[str, list[Any]]:
        rows = request_rows(batch[self._id_column], batch[self._body_column])
        answered = answer(rows, self._configuration, concurrency=self._concurrency, limiter=self._limiter)
        return {
            "id": [row["id"] for row in answered],
            "response": [row["response"] for row in answered],
            "error": [row["error"] for row in answered],
        }
