"""A blocking face over AsyncSession (an event loop in a thread of its own), so the blocking
Session's wire tests run unchanged against the loop-driven transport."""

import asyncio
import threading

from korvane_sdk.http import AsyncSession
from support.loops import blocking_next


class LoopThread:
    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coroutine_function, *args, **kwargs):
        async def call():
            return await coroutine_function(*args, **kwargs)

        return asyncio.run_coroutine_threadsafe(call(), self.loop).result()

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


class SyncResponse:
    def __init__(self, runner, response, streamed):
        self._runner = runner
        self._response = response
        self._streamed = streamed
        self._lines = None
        self.status_code = response.status_code
        self.reason = response.reason
        self.url = response.url
        self.headers = response.headers
        self.ok = response.ok

    def _read(self):
        if self._streamed:
            self._runner.run(self._response.aread)
            self._streamed = False

    @property
    def content(self):
        self._read()
        return self._response.content

    @property
    def text(self):
        self._read()
        return self._response.text

    def json(self):
        self._read()
        return self._response.json()

    def iter_lines(self, decode_unicode=False):
        return SyncLines(self._runner, self._response, decode_unicode)

    def close(self):
        self._runner.run(self._response.aclose)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class SyncLines:
    """A blocking iterator over aiter_lines; threads may share it, as they may the blocking one."""

    def __init__(self, runner, response, decode_unicode):
        async def start():
            return response.aiter_lines()

        self._runner = runner
        self._lines = runner.run(start)
        self._decode = decode_unicode
        self._lock = threading.Lock()

    def __iter__(self):
        return self

    def __next__(self):
        with self._lock:
            line = blocking_next(self._runner.run, self._lines)
        return line.decode() if self._decode else line


class SyncOverAsync:
    """Session's interface on an AsyncSession."""

    def __init__(self):
        self._runner = LoopThread()
        self._session = self._runner.run(self._make)

    @staticmethod
    async def _make():
        return AsyncSession()

    @property
    def verify(self):
        return self._session.verify

    @verify.setter
    def verify(self, value):
        self._session.verify = value

    @property
    def max_body_size(self):
        return self._session.max_body_size

    @max_body_size.setter
    def max_body_size(self, value):
        self._session.max_body_size = value

    def request(self, method, url, params=None, json=None, files=None, headers=None, timeout=None, stream=False):
        response = self._runner.run(
            self._session.request,
            method,
            url,
            params=params,
            json=json,
            files=files,
            headers=headers,
            timeout=timeout,
            stream=stream,
        )
        return SyncResponse(self._runner, response, stream)

    def close(self):
        if self._runner is not None:
            self._runner.run(self._session.aclose)
            self._runner.stop()
            self._runner = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
