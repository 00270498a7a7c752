"""Rate limits for batch work: the Limiter protocol, the request estimate, and the local token bucket."""

from __future__ import annotations

import asyncio
import math
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Protocol, runtime_checkable

__all__ = ["Limiter", "RateLimits", "TokenBucket", "estimate_tokens", "DEFAULT_COMPLETION_TOKENS"]

# Completion tokens assumed for a request that sets no max_tokens: the estimate is corrected from
# the answer's usage afterwards, so this only shapes how far ahead of the answers the bucket runs.
DEFAULT_COMPLETION_TOKENS = 256


@dataclass(frozen=True)
class RateLimits:
    """Requests and tokens allowed per minute (None: no limit on that count)."""

    requests_per_minute: float | None = None
    tokens_per_minute: float | None = None

    def __post_init__(self) -> None:
        for name in ("requests_per_minute", "tokens_per_minute"):
            value = getattr(self, name)
            if value is None:
                continue
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be a number or None, not {type(value).__name__}")
            if not math.isfinite(value) or value <= 0:
                raise ValueError(f"{name} must be a positive finite number, not {value!r}")


@runtime_checkable
class Limiter(Protocol):
    """What paces a batch: the local TokenBucket, or a limiter shared by the workers of a cluster.

    Each request awaits acquire() with its estimated tokens before it is sent, and settle() with
    the estimate and the answer's usage once answered; a 429 answer's Retry-After goes to
    pause_all(), after which every caller of acquire() waits out the pause.
    """

    async def acquire(self, tokens: int) -> None:
        """Take one request and `tokens` tokens, waiting as long as the limits need."""
        ...

    async def settle(self, estimated: int, actual: int) -> None:
        """Correct an earlier acquire() from its estimate to the tokens the answer used."""
        ...

    async def pause_all(self, seconds: float) -> None:
        """Hold every caller of acquire() for `seconds` (the platform said it is over its limit)."""
        ...


def _text_length(content: Any) -> int:
    if isinstance(content, str):
        return len(content)
    if isinstance(content, (list, tuple)):  # content parts: count the text ones
        total = 0
        for part in content:
            if isinstance(part, Mapping) and isinstance(part.get("text"), str):
                total += len(part["text"])
            elif isinstance(part, str):
                total += len(part)
        return total
    return 0


def estimate_tokens(body: Mapping[str, Any]) -> int:
    """Tokens a chat request is expected to use, before it is sent.

    The prompt's characters / 4 (rounded up), plus max_tokens (else DEFAULT_COMPLETION_TOKENS) for
    each of the `n` completions asked for.
    """
    characters = 0
    messages = body.get("messages")
    if isinstance(messages, (list, tuple)):
        for message in messages:
            if isinstance(message, Mapping):
                characters += _text_length(message.get("content"))
            else:
                characters += _text_length(getattr(message, "content", None))
    completion = body.get("max_tokens")
    if isinstance(completion, bool) or not isinstance(completion, int) or completion < 0:
        completion = DEFAULT_COMPLETION_TOKENS
    n = body.get("n", 1)
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        n = 1
    return -(-characters // 4) + completion * n


class _Bucket:
    """One count refilled at a steady rate up to a burst; its level may go below zero (a debt)."""

    __slots__ = ("rate", "capacity", "level")

    def __init__(self, per_minute: float) -> None:
        self.rate = per_minute / 60.0  # per second
        # A burst of one second's allowance (at least one request's worth): a platform counting
        # per minute sees at most a minute's allowance plus this in any minute.
        self.capacity = max(self.rate, 1.0)
        self.level = self.capacity

    def refill(self, seconds: float) -> None:
        self.level = min(self.capacity, self.level + seconds * self.rate)

    def wait_for(self, amount: float) -> float:
        """Seconds until `amount` may be taken (an amount above the burst waits for a full bucket)."""
        missing = min(amount, self.capacity) - self.level
        return missing / self.rate if missing > 0 else 0.0


class TokenBucket:
    """The limiter of one process: token buckets for requests and tokens per minute, and the pause
    a 429 asks for. Callers are served in order (one waits at a time for the buckets to refill).

    Use on one event loop (the lock and sleeps are that loop's). With no limits it only keeps the
    pause: acquire() then returns at once unless a pause is running.
    """

    def __init__(self, limits: RateLimits | None = None, *, clock: Callable[[], float] = time.monotonic) -> None:
        limits = limits or RateLimits()
        self.limits = limits
        self._clock = clock
        self._requests = None if limits.requests_per_minute is None else _Bucket(limits.requests_per_minute)
        self._tokens = None if limits.tokens_per_minute is None else _Bucket(limits.tokens_per_minute)
        self._limited = self._requests is not None or self._tokens is not None
        self._paused_until = 0.0
        self._refilled_at = clock()
        self._lock: asyncio.Lock | None = None  # made on first wait, so on the loop that waits

    @property
    def counts_tokens(self) -> bool:
        """Whether tokens are limited (else acquire() ignores its count and settle() does nothing)."""
        return self._tokens is not None

    def _refill(self, now: float) -> None:
        # Nothing accrues during a pause: when it ends the platform's own window starts afresh.
        elapsed = now - self._refilled_at
        if elapsed <= 0:
            return
        self._refilled_at = now
        for bucket in (self._requests, self._tokens):
            if bucket is not None:
                bucket.refill(elapsed)

    def _wait(self, tokens: int) -> float:
        now = self._clock()
        if now < self._paused_until:
            return self._paused_until - now
        self._refill(now)
        wait = 0.0
        if self._requests is not None:
            wait = self._requests.wait_for(1)
        if self._tokens is not None:
            wait = max(wait, self._tokens.wait_for(tokens))
        return wait

    async def acquire(self, tokens: int) -> None:
        if not self._limited and self._clock() >= self._paused_until:
            return
        if self._lock is None:
            self._lock = asyncio.Lock()
        async with self._lock:
            while (wait := self._wait(tokens)) > 0:
                await asyncio.sleep(wait)
            if self._requests is not None:
                self._requests.level -= 1
            if self._tokens is not None:
                self._tokens.level -= tokens

    async def settle(self, estimated: int, actual: int) -> None:
        if self._tokens is not None:
            self._refill(self._clock())
            self._tokens.level = min(self._tokens.capacity, self._tokens.level + estimated - actual)

    async def pause_all(self, seconds: float) -> None:
        if seconds <= 0:
            return
        now = self._clock()
        self._refill(now)
        self._paused_until = max(self._paused_until, now + seconds)
        self._refilled_at = self._paused_until
