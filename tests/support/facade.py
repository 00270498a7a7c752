"""The async client behind the blocking client's calls, so one behaviour suite runs against both.

Every coroutine the async client gives is run to its end on the facade's own event loop; async
iterators (streams, page iterators) become iterators whose pulls and close() are run the same way.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable
from typing import Any

from korvane_sdk import aio

from support.loops import blocking_next


def _wrap(value: Any, loop: asyncio.AbstractEventLoop) -> Any:
    if type(value).__module__ in (aio.__name__, "korvane_sdk._aio", "korvane_sdk._raw"):
        if hasattr(value, "__anext__"):
            return SyncIterator(value, loop)
        return SyncFacade(value, loop)
    return value


class SyncIterator:
    def __init__(self, target: Any, loop: asyncio.AbstractEventLoop) -> None:
        self._target, self._loop = target, loop

    def __iter__(self) -> SyncIterator:
        return self

    def _run(self, start: Callable[[], Awaitable[Any]]) -> Any:
        return self._loop.run_until_complete(start())

    def __next__(self) -> Any:
        return blocking_next(self._run, self._target)

    def close(self) -> None:
        if hasattr(self._target, "aclose"):
            self._run(self._target.aclose)

    def __getattr__(self, name: str) -> Any:
        # The stream's other methods: coroutines run to their end, async iterators made blocking.
        value = getattr(self._target, name)
        if not callable(value):
            return value

        def call(*args: Any, **kwargs: Any) -> Any:
            result = value(*args, **kwargs)
            if asyncio.iscoroutine(result):
                return self._loop.run_until_complete(result)
            return SyncIterator(result, self._loop) if hasattr(result, "__anext__") else result

        return call

    def __enter__(self) -> SyncIterator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class SyncFacade:
    def __init__(self, target: Any, loop: asyncio.AbstractEventLoop) -> None:
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_loop", loop)

    @property
    def async_target(self) -> Any:
        return self._target

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._target, name)
        if callable(value) and not isinstance(value, type):

            def call(*args: Any, **kwargs: Any) -> Any:
                result = value(*args, **kwargs)
                if asyncio.iscoroutine(result):
                    result = self._loop.run_until_complete(result)
                return _wrap(result, self._loop)

            return call
        return _wrap(value, self._loop)

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self._target, name, value)

    def __enter__(self) -> SyncFacade:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return repr(self._target)


def async_client(*args: Any, **kwargs: Any) -> SyncFacade:
    """A new async client with the blocking client's calls, on a new event loop of its own."""
    return SyncFacade(aio.AsyncKorvane(*args, **kwargs), asyncio.new_event_loop())


def make_client(kind: str, *args: Any, **kwargs: Any) -> Any:
    if kind == "async":
        return async_client(*args, **kwargs)
    from korvane_sdk import KorvaneClient

    return KorvaneClient(*args, **kwargs)
