"""An asyncio session over the blocking HTTP layer, for developing the async client before the
event-loop transport is there. It has the agreed interface of korvane_sdk.http.AsyncSession
(request/close/aclose, async with; responses with aread/aiter_lines/aclose) and its loop binding,
but it waits in worker threads (asyncio.to_thread): one blocking Session per request, so no two
threads share a session. A cancelled request cannot abort the blocking transfer; it is closed as
soon as its worker returns.
"""

from __future__ import annotations

import asyncio
import threading
from collections.abc import AsyncIterator
from typing import Any

from korvane_sdk import http


class AsyncResponse:
    def __init__(self, response: Any, streamed: bool) -> None:
        self._response = response
        self._streamed = streamed
        self._read = not streamed
        self._closed = False
        self._pending: asyncio.Future[Any] | None = None  # a worker reading this response
        self.status_code = response.status_code
        self.reason = response.reason
        self.url = response.url
        self.headers = response.headers
        self.ok = response.ok

    def _body(self) -> Any:
        if not self._read:
            raise RuntimeError("the body of a streamed response is not read yet: await aread() first")
        return self._response

    @property
    def content(self) -> bytes:
        return self._body().content

    @property
    def text(self) -> str:
        return self._body().text

    def json(self, **kwargs: Any) -> Any:
        return self._body().json(**kwargs)

    async def _in_worker(self, fn: Any, *args: Any) -> Any:
        self._pending = asyncio.ensure_future(asyncio.to_thread(fn, *args))
        try:
            return await asyncio.shield(self._pending)
        finally:
            if self._pending.done():
                self._pending = None

    async def aread(self) -> bytes:
        if not self._read:
            await self._in_worker(lambda: self._response.content)
            self._read = True
        return self._response.content

    async def aiter_lines(self) -> AsyncIterator[bytes]:
        lines = iter(self._response.iter_lines())
        end = object()
        while True:
            line = await self._in_worker(next, lines, end)
            if line is end:
                return
            yield line

    async def aclose(self) -> None:
        if self._closed:
            return
        self._closed = True
        pending, self._pending = self._pending, None
        if pending is not None:  # the worker still reads: close once it has returned
            try:
                await asyncio.shield(pending)
            except BaseException:  # noqa: BLE001 - its failure is no longer anyone's
                pass
        self._response.close()

    async def __aenter__(self) -> AsyncResponse:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()


class AsyncSession:
    def __init__(self) -> None:
        self.verify: Any = True
        self.max_body_size: int = http.Session().max_body_size
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: int | None = None
        self._closed = False

    def _bind(self) -> None:
        loop = asyncio.get_running_loop()
        if self._loop is None:
            self._loop, self._thread = loop, threading.get_ident()
        elif self._loop is not loop or self._thread != threading.get_ident():
            raise RuntimeError("this session is bound to another event loop; make one client per loop")

    async def request(
        self,
        method: str,
        url: str,
        params: Any = None,
        json: Any = None,
        files: Any = None,
        headers: Any = None,
        timeout: Any = None,
        stream: bool = False,
    ) -> AsyncResponse:
        self._bind()
        if self._closed:
            raise http.SessionClosedError("the session is closed")
        session = http.Session()
        session.verify = self.verify
        session.max_body_size = self.max_body_size

        def send() -> Any:
            return session.request(
                method=method,
                url=url,
                params=params,
                json=json,
                files=files,
                headers=headers,
                timeout=timeout,
                stream=stream,
            )

        worker = asyncio.ensure_future(asyncio.to_thread(send))
        try:
            response = await asyncio.shield(worker)
        except asyncio.CancelledError:
            worker.add_done_callback(_close_result)
            raise
        return AsyncResponse(response, stream)

    async def close(self) -> None:
        self._closed = True

    aclose = close

    async def __aenter__(self) -> AsyncSession:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()


def _close_result(worker: asyncio.Future[Any]) -> None:
    if not worker.cancelled() and worker.exception() is None:
        worker.result().close()


def install() -> None:
    """Gives the async client this stand-in while korvane_sdk.http has no AsyncSession of its own."""
    if not hasattr(http, "AsyncSession"):
        from korvane_sdk import _aio

        _aio._session_class = lambda: AsyncSession
