"""Blocking code driving asyncio code: the step that the blocking faces over the async client
(support/facade.py) and over AsyncSession (http_aio/facade.py) share."""

from __future__ import annotations

from collections.abc import AsyncIterator, Awaitable, Callable
from typing import TypeVar

T = TypeVar("T")


def blocking_next(run: Callable[[Callable[[], Awaitable[T]]], T], iterator: AsyncIterator[T]) -> T:
    """The next item of the async `iterator`, as next() gives one: `run(start)` awaits `start()` to
    its end on the face's event loop and gives its result; the iterator's end becomes StopIteration."""
    try:
        return run(iterator.__anext__)
    except StopAsyncIteration:
        raise StopIteration from None
