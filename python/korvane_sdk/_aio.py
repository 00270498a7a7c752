"""The asyncio client (korvane_sdk.aio): the blocking client's surface, awaited.

``AsyncKorvane`` (also ``AsyncKorvaneClient``) takes the configuration of ``KorvaneClient``; every
operation is a coroutine with the blocking operation's parameters, checks, answers and errors::

    async with AsyncKorvane(api_key="...") as client:
        completion = await client.chat.completions.create(model="m", messages=[...])
        async for chunk in await client.chat.completions.create(model="m", messages=[...], stream=True):
            ...

What a call does is the blocking client's own code: each operation, ``list_models``, chat's
``create`` and ``_request`` itself are one call of the same C++ call engine the blocking methods
drive (plan, attempts, busy pauses, failure mapping, error context, log lines, the answer into
records), awaited here through a native awaitable that yields the transport's futures to the task.
Page iterators (``iter``, ``iter_datasets``, ``iter_jobs``) are native async iterators.

SEAMS. As on KorvaneClient, and awaited: ``await client._request(method=, path=, params=, json=,
files=, raw_response=)`` gives the decoded answer; ``await client._request_stream(method=, path=,
json=)`` an open response (``aiter_lines()``, ``aclose()``), an error answer raising first;
``await client._handle_response(response, raw)`` one answer's result. ``_handle_error``,
``_get_headers`` and ``_get_base_url`` are the blocking client's, not awaited. ``client._session``
is an ``AsyncSession`` (``await request(...)``); ``client._sleep(seconds)`` (awaited when it gives
an awaitable) and ``client._random()`` may be set as on the blocking client. A client is bound to
the event loop that first uses it; its copies from ``with_options()`` share its session, and so its
loop (a copy with another ``verify_ssl`` has a session of its own).
"""

from __future__ import annotations

import asyncio
import inspect
import threading
from collections.abc import Callable
from typing import Any, Optional

from . import _core
from ._stream_helpers import AsyncStreamHelpers
from .chat import ChatCompletions
from .client import KorvaneClient
from .feedback import FeedbackManager
from .http import AsyncResponse, AsyncSession
from .tenants import TenantManager
from .training import TrainingManager

_DONE = object()
# The steps a streamed call's engine answers with (_core._StreamCall).
_SEND, _PAUSE, _READ, _RESULT, _RAISE = (
    _core._StreamCall.SEND,
    _core._StreamCall.PAUSE,
    _core._StreamCall.READ,
    _core._StreamCall.RESULT,
    _core._StreamCall.RAISE,
)
_DEFAULT_MAX_CONNECTIONS = 100
_OWN_AITER_LINES = AsyncResponse.aiter_lines  # a patched one is honoured (the general path)


def _awaits(result: Any) -> bool:
    """Whether a seam's result is to be awaited (a replaced seam may be a plain function).

    inspect.isawaitable's answer, without its abstract-class check for the usual futures and
    coroutines (it is a lookup of __await__ for them)."""
    return hasattr(result, "__await__") or inspect.isawaitable(result)


async def _answer(result: Any) -> Any:
    """A replaced seam's result: awaited when it is awaitable (a plain function may stand in too)."""
    return await result if _awaits(result) else result


async def _pause(client: Any, seconds: float) -> None:
    sleep = getattr(client, "_sleep", None)
    waited = (sleep or asyncio.sleep)(seconds)
    if _awaits(waited):
        await waited


async def _close(response: Any) -> None:
    """Releases a response: aclose(), or close() for a blocking one that a replaced seam gave."""
    closer = getattr(response, "aclose", None)
    if closer is not None:
        await closer()
    elif hasattr(response, "close"):
        response.close()


async def _close_quietly(response: Any) -> None:
    try:
        await _close(response)
    except Exception:  # noqa: BLE001 - the failure in flight is the one to report
        pass


def _awaited(body: Callable[..., Any], awaitable: Callable[..., Any], name: str) -> Callable[..., Any]:
    """The awaited twin of the blocking operation `body`: the awaitable of the same call."""

    async def operation(self: Any, *args: Any, **kwargs: Any) -> Any:
        return await awaitable(self, *args, **kwargs)

    operation.__name__ = operation.__qualname__ = name
    operation.__doc__ = body.__doc__
    operation.__signature__ = inspect.signature(body)  # type: ignore[attr-defined]
    return operation


def _awaited_pages(body: Callable[..., Any], pages: Callable[..., Any], name: str) -> Callable[..., Any]:
    """The awaited twin of the blocking page iterator `body`: its checks, pages awaited."""

    def iterator(self: Any, **kwargs: Any) -> Any:
        return pages(self, **kwargs)

    iterator.__name__ = iterator.__qualname__ = name
    iterator.__doc__ = body.__doc__
    iterator.__signature__ = inspect.signature(body)  # type: ignore[attr-defined]
    return iterator


_PAGES = ("iter", "iter_datasets", "iter_jobs")


def _manager(blocking: type, name: str, doc: str) -> type:
    members: dict[str, Any] = {
        "__module__": __name__,
        "__doc__": doc,
        "__init__": _store_client,
    }
    awaitables = _core._operations[blocking.__name__]
    for attribute, body in vars(blocking).items():
        if attribute.startswith("_") or not callable(body):
            continue
        if attribute in _PAGES:
            members[attribute] = _awaited_pages(body, awaitables[attribute], attribute)
        else:
            members[attribute] = _awaited(body, awaitables[attribute], attribute)
    manager = type(name, (), members)
    _core._add_client_property(manager)  # weak while the client holds it, as on the blocking client
    return manager


def _store_client(self: Any, client: Any) -> None:
    """Store the owning client."""
    self._client = client


AsyncTenantManager = _manager(TenantManager, "AsyncTenantManager", "Manage tenants, awaited.")
AsyncFeedbackManager = _manager(FeedbackManager, "AsyncFeedbackManager", "Feedback on completions, awaited.")
AsyncTrainingManager = _manager(TrainingManager, "AsyncTrainingManager", "Training jobs and datasets, awaited.")


async def _lines_of(lines: Any) -> Any:
    for line in lines:
        yield line


async def _send_stream(client: Any, call: Any) -> Any:
    """Performs the sending steps of a streamed call's engine (a _StreamCall): the open response."""
    step = call.start()
    response = None
    while True:
        if step == _SEND:
            try:
                response = call.send()
                if _awaits(response):
                    response = await response
            except Exception as failure:
                step = call.send_failed(failure)
                continue
            step = call.answered(response)
        elif step == _PAUSE:
            await _close(response)
            await _pause(client, call.pause)
            step = call.paused()
        elif step == _READ:
            try:
                if hasattr(response, "aread"):
                    await response.aread()  # the error body, read whole by _handle_error
            except BaseException:
                await _close_quietly(response)
                raise
            step = call.body_read(response)
        elif step == _RAISE:
            if response is not None:
                await _close_quietly(response)
            raise call.take_error()
        else:
            return response


class AsyncChatCompletionStream(AsyncStreamHelpers):  # [assembly hook] text_deltas(), get_final_*()
    """Streamed chat completion: an async iterator of ChatCompletionChunk records.

    The request is sent on the first pull. The open response is held until the stream ends, is
    closed (aclose()), leaves an async with block or fails; then its connection is released
    without reading the rest of the body.
    """

    # The engine (_call) decides every step of the stream; this object only awaits what it asks for.
    __slots__ = (
        "_completions",
        "_payload",
        "_call",
        "_response",
        "_lines",
        "_chunks",
        "_finished",
        "_running",
        "_thread",
        "_assembly",  # [assembly hook]
        "request_id",
    )

    def __init__(self, completions: Any, payload: dict[str, Any]) -> None:
        self._completions = completions
        self._payload = payload
        self._call: Any = None
        self._response: Any = None
        self._lines: Any = None
        self._chunks: Any = None  # the chunk iterator over an AsyncResponse, once started
        self._finished = False
        self._running = False
        self._thread: int | None = None  # the thread of its event loop, once sent
        # The answer's X-Request-Id, once the first pull sent the request (None before, or without one).
        self.request_id: str | None = None
        self._assembly = _core._stream_assembly(payload)  # [assembly hook] kept after the end

    def __aiter__(self) -> AsyncChatCompletionStream:
        return self

    def __anext__(self) -> Any:
        # Once started on the HTTP layer's response, each pull is the native chunk iterator's own
        # awaitable (no coroutine per chunk); it closes the response at the end, on a failure and
        # when cancelled.
        chunks = self._chunks
        if chunks is not None:
            return chunks
        return self._pull()

    async def _pull(self) -> Any:
        if self._running:
            raise RuntimeError("anext(): asynchronous generator is already running")
        if self._finished:
            raise StopAsyncIteration
        self._check_thread()
        self._running = True
        try:
            if self._lines is None and self._chunks is None:
                await self._start()
            if self._chunks is not None:
                return await self._chunks
            line_of = self._call.line
            async for line in self._lines:
                chunk = line_of(line, _DONE)
                if chunk is None:
                    continue
                if chunk is _DONE:
                    break
                return chunk
            else:
                self._call.ended()
        except GeneratorExit:
            # Closed while suspended (collected, maybe after its loop closed): nothing may be
            # awaited now. The response, let go of, releases its transfer on its own loop.
            self._drop()
            raise
        except BaseException as failure:
            if self._call is not None:
                self._call.failed(failure)
            await self._release(quietly=True)
            raise
        finally:
            self._running = False
        await self._release()
        raise StopAsyncIteration

    async def _start(self) -> None:
        self._thread = threading.get_ident()
        client = self._completions._client
        payload, self._completions, self._payload = self._payload, None, None
        self._call = call = _core._chat_stream_call(client, "POST", "/v1/chat/completions", payload, self._assembly)
        seam = client._request_stream
        if getattr(seam, "__func__", None) is _OWN_REQUEST_STREAM and seam.__self__ is client:
            self._response = await _send_stream(client, call)  # the engine decides each step
        else:
            response = seam(method="POST", path="/v1/chat/completions", json=payload)
            self._response = await response if _awaits(response) else response
            call.adopt(self._response)  # a replaced seam sent it: only the reading is the engine's
        self.request_id = call.request_id
        if type(self._response) is AsyncResponse and AsyncResponse.aiter_lines is _OWN_AITER_LINES:
            self._chunks = _core._async_chunks(self._response, call)  # the lines read natively into chunks
            return
        reader = getattr(self._response, "aiter_lines", None)
        # A replaced _request_stream may give a blocking response (iter_lines, close): it is read as is.
        self._lines = reader().__aiter__() if reader is not None else _lines_of(self._response.iter_lines())

    def _check_thread(self) -> None:
        if self._thread is not None and self._thread != threading.get_ident():
            raise RuntimeError("This stream is bound to another event loop (it was used from another thread)")

    def _drop(self) -> None:
        self._finished = True
        if self._call is not None:
            self._call.closed()
        self._completions = self._payload = self._call = self._response = self._lines = self._chunks = None

    async def _release(self, quietly: bool = False) -> None:
        self._finished = True
        self._completions = self._payload = None
        call, self._call = self._call, None
        response, self._response = self._response, None
        lines, self._lines = self._lines, None
        chunks, self._chunks = self._chunks, None
        if chunks is not None:
            chunks.close()
        if call is not None:
            call.closed()  # an end line for a stream let go before its end (nothing once it ended)
        if lines is not None and hasattr(lines, "aclose"):
            await _close_quietly(lines)
        if response is None:
            return
        if not hasattr(response, "aclose"):
            response.close()
        elif quietly:
            await _close_quietly(response)
        else:
            await response.aclose()

    def __del__(self) -> None:
        # Dropped unfinished: a blocking response is closed now; an awaited one releases its
        # transfer when it is dropped in turn.
        response = getattr(self, "_response", None)
        if response is not None and not hasattr(response, "aclose"):
            response.close()

    async def aclose(self) -> None:
        """Finish the stream and release its connection."""
        self._check_thread()
        if self._running or (self._chunks is not None and self._chunks.running):
            raise RuntimeError("aclose(): asynchronous generator is already running")
        await self._release()

    async def __aenter__(self) -> AsyncChatCompletionStream:
        return self

    async def __aexit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> None:
        await self.aclose()


class AsyncChatCompletions:
    """Chat completions API, awaited."""

    def __init__(self, client: Any) -> None:
        self._client = client

    async def create(self, *args: Any, **kwargs: Any) -> Any:
        # The blocking create() checks and builds the payload, then hands it to the methods below.
        return await ChatCompletions.create(self, *args, **kwargs)

    async def _stream_completion(self, payload: dict[str, Any]) -> AsyncChatCompletionStream:
        """Make a streaming completion request."""
        return AsyncChatCompletionStream(self, payload)


_core._add_awaited_completion(AsyncChatCompletions)  # _create_completion: the call engine's awaitable
_core._add_client_property(AsyncChatCompletions)  # weak while the client holds it, as on the blocking client
AsyncChatCompletions.create.__doc__ = ChatCompletions.create.__doc__
AsyncChatCompletions.create.__signature__ = inspect.signature(ChatCompletions.create)  # type: ignore[attr-defined]


class AsyncChat:
    """Chat API namespace, awaited."""

    def __init__(self, client: Any) -> None:
        self.completions = AsyncChatCompletions(client)


class AsyncKorvane:
    """Asyncio client for the Korvane platform API."""

    DEFAULT_API_URL = KorvaneClient.DEFAULT_API_URL
    DEFAULT_PROXY_URL = KorvaneClient.DEFAULT_PROXY_URL
    DEFAULT_TIMEOUT = KorvaneClient.DEFAULT_TIMEOUT

    def __init__(self, *args: Any, max_connections: int = _DEFAULT_MAX_CONNECTIONS, **kwargs: Any) -> None:
        _core._configure_client(self, *args, **kwargs)  # the settings, as the blocking client reads them
        # The event-loop transport of the HTTP layer; it checks max_connections.
        session = AsyncSession(max_connections=max_connections)
        session.verify = self.verify_ssl
        _core._adopt_session(self, session)
        self._max_connections = max_connections
        self.chat = AsyncChat(self)
        self.tenants = AsyncTenantManager(self)
        self.feedback = AsyncFeedbackManager(self)
        self.training = AsyncTrainingManager(self)
        _core._link_namespaces(self)  # so a dropped client frees its session at once

    __del__ = KorvaneClient.__del__

    __repr__ = KorvaneClient.__repr__

    # Pickles as its configuration and connection cap; the copy binds to the loop of its first call.
    __reduce__ = KorvaneClient.__reduce__

    @property
    def max_connections(self) -> int:
        """Connections open at once; calls beyond wait for a free one (as many idle ones are kept)."""
        return self._max_connections

    @max_connections.setter
    def max_connections(self, value: int) -> None:
        session = self._session
        if isinstance(session, AsyncSession):
            session.max_connections = value  # checks it; later requests wait for the new cap
        self._max_connections = value

    def with_options(self, **changes: Any) -> Any:
        copy = KorvaneClient.with_options(self, **changes)
        copy.max_connections = self._max_connections  # the cap of the session the copy shares, or of its own
        return copy

    with_raw_response = KorvaneClient.with_raw_response  # each operation awaited gives a RawResponse

    _get_headers = KorvaneClient._get_headers
    _get_base_url = KorvaneClient._get_base_url
    _handle_error = KorvaneClient._handle_error

    async def close(self) -> None:
        """Close the client session."""
        if _core._leave_session(self):  # shared with copies from with_options(): the last one closes it
            await _answer(self._session.close())

    async def aclose(self) -> None:
        """Close the client session."""
        await self.close()

    async def __aenter__(self) -> AsyncKorvane:
        return self

    async def __aexit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> None:
        await self.close()

    async def list_models(self) -> Any:
        """List available models."""
        return await _core._awaited_models(self)

    async def _handle_response(self, response: Any, raw: bool = False) -> Any:
        """Handle API response."""
        return KorvaneClient._handle_response(self, response, raw)

    async def _request(
        self,
        method: str,
        path: str,
        params: Any = None,
        json: Any = None,
        files: Any = None,
        raw_response: bool = False,
    ) -> Any:
        """Make an HTTP request."""
        return await _core._awaited_request(self, method, path, params, json, files, raw_response)

    async def _request_stream(self, method: str, path: str, json: Any = None) -> Any:
        """Make a streaming HTTP request."""
        return await _send_stream(self, _core._chat_stream_call(self, method, path, json))


AsyncKorvaneClient = AsyncKorvane
AsyncKorvane.__init__.__doc__ = (KorvaneClient.__init__.__doc__ or "") + (
    "\n    max_connections: Connections open at once (100); calls beyond wait for a free one, and as"
    "\n        many idle connections are kept for reuse. Keep it below the process's descriptor limit."
)
_blocking_init = inspect.signature(KorvaneClient.__init__)
AsyncKorvane.__init__.__signature__ = _blocking_init.replace(  # type: ignore[attr-defined]
    parameters=[
        *_blocking_init.parameters.values(),
        inspect.Parameter("max_connections", inspect.Parameter.KEYWORD_ONLY, default=_DEFAULT_MAX_CONNECTIONS),
    ]
)
AsyncKorvane.with_options.__doc__ = KorvaneClient.with_options.__doc__
AsyncKorvane.with_options.__signature__ = inspect.signature(KorvaneClient.with_options)  # type: ignore[attr-defined]
_core._remember_awaited_client(AsyncKorvane)
_OWN_REQUEST_STREAM = AsyncKorvane._request_stream
