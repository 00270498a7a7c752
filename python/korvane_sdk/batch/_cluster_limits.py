"""One rate limit shared by many workers: the schedule a cluster-wide limiter keeps in one place.

The Ray and Dask limiters hold one ``ReservationSchedule`` in an actor of their engine; every
worker's ``acquire`` asks it for a slot and is told how long to wait, then waits on its own side, so
the actor never blocks and serves thousands of callers. Slots are spaced evenly at a rate a little
under the limit (``headroom``), without bursts: whatever window the platform counts over, and
wherever its windows start, it never sees more than its limit (a burst allowance on top of the full
rate would overrun a window by the burst).
"""

from __future__ import annotations

import asyncio
import math
from collections.abc import Awaitable, Callable
from typing import Any

# Slack for the workers' clocks and wake-ups: even spacing alone never puts more than the limit in a
# window, so a few per cent is enough (a window of 60 requests keeps 2.4 of them free).
DEFAULT_HEADROOM = 0.04


def _positive_or_none(name: str, value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
        raise ValueError(f"{name} must be a positive number or None, not {value!r}")
    return float(value)


class ReservationSchedule:
    """When the next request may go, for a requests- and a tokens-per-minute limit (None: unlimited).

    Every ``reserve`` books a slot: the earliest time at which both the request and its tokens fit,
    no earlier than the end of a ``pause``; the caller waits until then. Times are the owner's clock
    (``now`` arguments), so the schedule itself is plain arithmetic and is tested without a cluster.
    """

    def __init__(
        self,
        requests_per_minute: float | None = None,
        tokens_per_minute: float | None = None,
        *,
        headroom: float = DEFAULT_HEADROOM,
    ) -> None:
        self.requests_per_minute = _positive_or_none("requests_per_minute", requests_per_minute)
        self.tokens_per_minute = _positive_or_none("tokens_per_minute", tokens_per_minute)
        if isinstance(headroom, bool) or not isinstance(headroom, (int, float)) or not 0 <= headroom < 1:
            raise ValueError(f"headroom must be a fraction from 0 up to 1, not {headroom!r}")
        self.headroom = float(headroom)
        share = 1.0 - self.headroom
        # Seconds each request, and each token, occupies of its limit's schedule.
        self._per_request = 60.0 / (self.requests_per_minute * share) if self.requests_per_minute else 0.0
        self._per_token = 60.0 / (self.tokens_per_minute * share) if self.tokens_per_minute else 0.0
        self._next_request = -math.inf  # when the request schedule is next free
        self._next_tokens = -math.inf  # when the token schedule is next free
        self._paused_until = -math.inf
        self.reserved = 0  # requests booked, for statistics
        self.paused = 0  # pauses asked for

    def reserve(self, tokens: int, now: float) -> float:
        """Books one request of `tokens` estimated tokens; answers the seconds to wait (0: go now)."""
        tokens = max(0, int(tokens))
        start = max(now, self._paused_until, self._next_request, self._next_tokens)
        self._next_request = start + self._per_request
        self._next_tokens = start + tokens * self._per_token
        self.reserved += 1
        return max(0.0, start - now)

    def settle(self, estimated: int, actual: int, now: float) -> None:
        """Corrects a booking with the tokens the answer used: more delays later slots, fewer frees
        them, though never into the past (no credit piles up for a burst)."""
        if not self._per_token:
            return
        moved = self._next_tokens + (int(actual) - int(estimated)) * self._per_token
        self._next_tokens = max(moved, min(now, self._next_tokens))

    def pause(self, seconds: float, now: float) -> None:
        """Nobody starts before `seconds` from now (a platform's Retry-After)."""
        if not math.isfinite(seconds) or seconds <= 0:
            return
        self.paused += 1
        self._paused_until = max(self._paused_until, now + seconds)

    def describe(self) -> dict[str, Any]:
        return {
            "requests_per_minute": self.requests_per_minute,
            "tokens_per_minute": self.tokens_per_minute,
            "headroom": self.headroom,
            "reserved": self.reserved,
            "paused": self.paused,
        }


class ScheduleClient:
    """The limiter protocol (acquire, settle, pause_all) over a schedule kept elsewhere.

    `call(method, *args)` runs a method of the remote schedule holder (an actor) and answers an
    awaitable of its result; subclasses supply it for their engine. Waiting happens here, in the
    caller's event loop.
    """

    def _call(self, method: str, *args: Any) -> Awaitable[Any]:
        raise NotImplementedError

    async def acquire(self, tokens: int) -> None:
        """One request with its estimated tokens: waits until the shared schedule has room."""
        delay = await self._call("reserve", int(tokens))
        if delay > 0:
            await asyncio.sleep(delay)

    async def settle(self, estimated: int, actual: int) -> None:
        """Corrects the shared schedule with the tokens the answer used."""
        if estimated != actual:
            await self._call("settle", int(estimated), int(actual))

    async def pause_all(self, seconds: float) -> None:
        """A platform's Retry-After: every worker of the cluster waits it out before its next request."""
        await self._call("pause", float(seconds))


class ScheduleHolder:
    """What an engine's actor runs: one schedule, on the actor's own clock."""

    def __init__(self, requests_per_minute: float | None, tokens_per_minute: float | None, headroom: float) -> None:
        import time

        self._clock: Callable[[], float] = time.monotonic
        self._schedule = ReservationSchedule(requests_per_minute, tokens_per_minute, headroom=headroom)

    def reserve(self, tokens: int) -> float:
        return self._schedule.reserve(tokens, self._clock())

    def settle(self, estimated: int, actual: int) -> None:
        self._schedule.settle(estimated, actual, self._clock())

    def pause(self, seconds: float) -> None:
        self._schedule.pause(seconds, self._clock())

    def describe(self) -> dict[str, Any]:
        return self._schedule.describe()


def limits_of(limits: Any, requests_per_minute: float | None, tokens_per_minute: float | None) -> tuple[Any, Any]:
    """The two limits from a RateLimits (or any object with those attributes) or from keywords."""
    if limits is not None:
        if requests_per_minute is not None or tokens_per_minute is not None:
            raise TypeError("give either limits or requests_per_minute/tokens_per_minute, not both")
        requests_per_minute = limits.requests_per_minute
        tokens_per_minute = limits.tokens_per_minute
    if requests_per_minute is None and tokens_per_minute is None:
        raise ValueError("a shared rate limit needs requests_per_minute, tokens_per_minute or both")
    return requests_per_minute, tokens_per_minute
