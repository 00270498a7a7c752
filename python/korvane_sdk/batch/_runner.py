"""The batch runner: many chat requests on one event loop, paced by a limiter, retried where safe,
their answers written as they arrive (run, arun) or handed back (aresults)."""

from __future__ import annotations

import asyncio
import contextvars
import json
import os
import random
import time
import weakref
from collections.abc import AsyncIterator, Awaitable, Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Union

from ..aio import AsyncKorvane
from ..client import KorvaneClient
from ..exceptions import AuthenticationError, KorvaneError, RateLimitError
from ..exceptions import ConnectionError as _ConnectionError
from ..exceptions import TimeoutError as _TimeoutError
from ..models import ChatCompletion
from . import _files, _progress
from ._limiter import Limiter, RateLimits, TokenBucket, estimate_tokens

BATCH_ID_HEADER = "X-Korvane-Batch-Id"
# Attempts a request may take on busy answers (408, 409, 5xx) and transport failures, with a
# jittered backoff between them; 429 answers are counted apart, since the pause they ask for is
# the platform's own pacing, not a sign that the request fails.
MAX_ATTEMPTS = 5
MAX_RATE_LIMITED = 20
_BUSY_STATUSES = frozenset((408, 409))
_NO_RETRY_AFTER_PAUSE = 1.0  # a 429 without Retry-After: this, doubling per 429 of the request
# Failures that are not the request's own but would be every request's (a key refused, a client
# closed or on another loop): the run stops with them, leaving no line, instead of writing one for
# each request left; fixed, a run on the same output resumes.
_STOPS_THE_RUN = (AuthenticationError, RuntimeError)

# The id of the request a worker task is sending; each task runs in a context of its own.
_batch_id: contextvars.ContextVar[str | bytes] = contextvars.ContextVar("korvane_batch_id")

Requests = Union[Iterable[Mapping[str, Any]], str, "os.PathLike[str]"]
Result = tuple[str, "ChatCompletion | None", "BaseException | None"]


@dataclass(frozen=True)
class BatchSummary:
    """What one run did: requests answered, failed (error lines) and skipped (already in the output)."""

    answered: int
    failed: int
    skipped: int
    elapsed: float
    """Seconds the run took."""
    rate: float
    """Requests finished (answered or failed) per second of the run."""

    def __str__(self) -> str:
        return (
            f"{self.answered} answered, {self.failed} failed, {self.skipped} skipped"
            f" in {self.elapsed:.1f} s ({self.rate:.1f} requests/s)"
        )


def _check_concurrency(concurrency: object) -> int:
    if isinstance(concurrency, bool) or not isinstance(concurrency, int) or concurrency < 1:
        raise ValueError(f"concurrency must be an int of at least 1, not {concurrency!r}")
    return concurrency


def _pick_limiter(limits: RateLimits | None, limiter: Limiter | None) -> Limiter:
    if limits is not None and limiter is not None:
        raise ValueError("give limits or a limiter, not both")
    if limiter is not None:
        for name in ("acquire", "settle", "pause_all"):
            if not callable(getattr(limiter, name, None)):
                raise TypeError(f"limiter has no {name}() method (see korvane_sdk.batch.Limiter)")
        return limiter
    if limits is not None and not isinstance(limits, RateLimits):
        raise TypeError(f"limits must be a RateLimits, not {type(limits).__name__}")
    return TokenBucket(limits)


def _headers_with_batch_id(client: AsyncKorvane) -> Callable[[], dict[str, Any]]:
    """The client's own headers, plus the id of the request the calling task sends.

    Holds the client weakly: it is stored on that client, which would otherwise keep itself alive.
    """
    own = type(client)._get_headers
    held = weakref.ref(client)

    def _get_headers() -> dict[str, Any]:
        target = held()
        if target is None:  # collected: nothing plans a request of it any more
            return {}
        headers: dict[str, Any] = own(target)
        request_id = _batch_id.get(None)
        if request_id is not None:
            headers[BATCH_ID_HEADER] = request_id
        return headers

    return _get_headers


def _batch_client(client: AsyncKorvane) -> AsyncKorvane:
    """A copy of `client` for this run (sharing its connections), owned by the run, which closes it.

    Busy answers reach the runner instead of being repeated inside the call, so a 429 pauses every
    request at once; each request carries its id in the X-Korvane-Batch-Id header.
    """
    copy = client.with_options(retry_on_busy=False)
    copy._get_headers = _headers_with_batch_id(copy)  # type: ignore[method-assign]
    return copy


def _async_of(client: KorvaneClient, concurrency: int) -> AsyncKorvane:
    """An AsyncKorvane with the configuration of a blocking client (its own connections)."""
    return AsyncKorvane(
        api_key=client.api_key,
        api_url=client.api_url,
        proxy_url=client.proxy_url,
        timeout=client.timeout,
        max_retries=client.max_retries,
        verify_ssl=client.verify_ssl,
        retry_on_busy=False,
        backoff_base=client.backoff_base,
        backoff_max=client.backoff_max,
        retry_after_max=client.retry_after_max,
        max_connections=max(concurrency, 100),
    )


def _retryable(error: BaseException) -> bool:
    if isinstance(error, (_ConnectionError, _TimeoutError)):
        return True
    status = getattr(error, "http_status", None) if isinstance(error, KorvaneError) else None
    return isinstance(status, int) and (status in _BUSY_STATUSES or 500 <= status <= 599)


def _backoff(client: Any, failures: int) -> float:
    """Full jitter: a random part of backoff_base * 2**(failures-1), capped at backoff_max."""
    base = float(getattr(client, "backoff_base", 0.5))
    cap = float(getattr(client, "backoff_max", 8.0))
    return random.uniform(0.0, min(cap, base * 2 ** (failures - 1)))


def _rate_limit_pause(client: Any, error: RateLimitError, times: int) -> float:
    asked = error.retry_after
    wait = float(asked) if asked is not None and asked >= 0 else _NO_RETRY_AFTER_PAUSE * 2 ** (times - 1)
    cap = getattr(client, "retry_after_max", None)
    if isinstance(cap, (int, float)) and cap > 0:
        wait = min(wait, float(cap))
    return wait


async def _answer_of(client: AsyncKorvane, limiter: Limiter, body: Mapping[str, Any]) -> tuple[Any, Any]:
    """(completion, None) or (None, the error), after the retries a request may take."""
    # The local bucket without a token limit has no use for the estimate nor for its correction.
    counts_tokens = not isinstance(limiter, TokenBucket) or limiter.counts_tokens
    estimated = estimate_tokens(body) if counts_tokens else 0
    create = client.chat.completions.create
    failures = limited = 0
    while True:
        await limiter.acquire(estimated)
        try:
            completion = await create(**body)
        except RateLimitError as error:
            if counts_tokens:
                await limiter.settle(estimated, 0)  # refused before any token was spent
            limited += 1
            if limited > MAX_RATE_LIMITED:
                return None, error
            await limiter.pause_all(_rate_limit_pause(client, error, limited))
            continue
        except _STOPS_THE_RUN:
            raise
        except Exception as error:  # noqa: BLE001 - every other failure is one result line
            if not _retryable(error):
                return None, error
            failures += 1
            if failures >= MAX_ATTEMPTS:
                return None, error
            await asyncio.sleep(_backoff(client, failures))
            continue
        if counts_tokens:
            actual = getattr(getattr(completion, "usage", None), "total_tokens", None)
            if isinstance(actual, int) and actual != estimated:
                await limiter.settle(estimated, actual)
        return completion, None


async def _drive(
    requests: Requests,
    client: AsyncKorvane,
    concurrency: int,
    limiter: Limiter,
    done_ids: set[str],
    emit: Callable[[str, Any, BaseException | None], Awaitable[None] | None],
    skip: Callable[[], None],
) -> None:
    """Sends every request not in done_ids, `concurrency` at a time, emitting each result as it comes.

    The input is pulled one request at a time by whichever worker is free, so only the requests
    in flight are held. A bad request (or a failure to write) stops the pulling; what is in flight
    finishes, then that error is raised.
    """
    source = _files.numbered(requests)
    stopped: list[BaseException] = []

    async def worker() -> None:
        while not stopped:
            try:
                where, item = next(source)
                request_id, body = _files.checked(item, where)
            except StopIteration:
                return
            except Exception as failure:  # noqa: BLE001 - raised once the others are done
                stopped.append(failure)
                return
            if request_id in done_ids:
                skip()
                continue
            # Header values go out as Latin-1 when they can: a UTF-8 id is sent as its bytes instead.
            _batch_id.set(request_id if request_id.isascii() else request_id.encode())
            try:
                response, error = await _answer_of(client, limiter, body)
                waiting = emit(request_id, response, error)
                if waiting is not None:
                    await waiting  # the consumer of aresults() is behind: hold this worker
            except Exception as failure:  # noqa: BLE001 - a limiter or the output failed
                stopped.append(failure)
                return

    await asyncio.gather(*(worker() for _ in range(concurrency)))
    if stopped:
        raise stopped[0]


def _result_line(request_id: str, response: Any, error: BaseException | None) -> bytes:
    key = json.dumps(request_id, ensure_ascii=False)
    if error is None:
        return f'{{"id":{key},"response":{response.model_dump_json()}}}\n'.encode()
    # Escaped: an exception's text may hold anything, lone surrogates included.
    return f'{{"id":{key},"error":{json.dumps(error_entry(error))}}}\n'.encode()


def error_entry(error: BaseException) -> dict[str, Any]:
    """The "error" member of a result line: the exception's class name, HTTP status and message."""
    status = getattr(error, "http_status", None) if isinstance(error, KorvaneError) else None
    message = getattr(error, "message", None) if isinstance(error, KorvaneError) else None
    return {
        "type": type(error).__name__,
        "status": status if isinstance(status, int) else None,
        "message": message if isinstance(message, str) else str(error),
    }


async def _run_into(
    requests: Requests,
    output: str | os.PathLike[str],
    client: AsyncKorvane,
    concurrency: int,
    limiter: Limiter,
    progress: bool | None,
) -> BatchSummary:
    if _files.is_path(requests):
        os.stat(requests)  # type: ignore[arg-type]  # a missing input fails before the output is made
        if os.path.exists(output) and os.path.samefile(requests, output):  # type: ignore[arg-type]
            raise ValueError("the output file is the input file")
    started = time.monotonic()
    results = _files.ResultFile(output)
    counts = [0, 0, 0]  # answered, failed, skipped
    bar = None
    try:
        if _progress.wanted(progress):
            total = _total(requests)
            bar = _progress.progress_bar(total)
        write = results.write
        update = bar.update if bar is not None else None

        def emit(request_id: str, response: Any, error: BaseException | None) -> None:
            write(_result_line(request_id, response, error))
            counts[error is not None] += 1
            if update is not None:
                update(1)

        def skip() -> None:
            counts[2] += 1
            if update is not None:
                update(1)

        await _drive(requests, client, concurrency, limiter, results.done_ids, emit, skip)
    finally:
        results.close()
        if bar is not None:
            bar.close()
    elapsed = time.monotonic() - started
    finished = counts[0] + counts[1]
    summary = BatchSummary(counts[0], counts[1], counts[2], elapsed, finished / elapsed if elapsed > 0 else 0.0)
    if bar is not None:
        import sys

        print(f"batch: {summary}", file=sys.stderr)
    return summary


def _total(requests: Requests) -> int | None:
    if _files.is_path(requests):
        return _files.count_lines(requests)  # type: ignore[arg-type]
    try:
        return len(requests)  # type: ignore[arg-type]
    except TypeError:
        return None


async def arun(
    requests: Requests,
    output: str | os.PathLike[str],
    *,
    client: AsyncKorvane | KorvaneClient | None = None,
    concurrency: int = 32,
    limits: RateLimits | None = None,
    limiter: Limiter | None = None,
    progress: bool | None = None,
) -> BatchSummary:
    """Answer every request into `output` (JSONL), up to `concurrency` at once; awaited.

    requests: an iterable of {"id": str, "body": {chat.completions.create keywords}}, or the path
        of a JSONL file of them; read one at a time (never held whole). Ids must be unique.
    output: the JSONL file of results, one line per request as it finishes:
        {"id": ..., "response": <ChatCompletion.model_dump()>} or
        {"id": ..., "error": {"type": ..., "status": ..., "message": ...}}.
        Run again with the same output to resume: ids already in it are skipped.
    client: the AsyncKorvane to send with (a copy sharing its connections is used), a Korvane whose
        configuration makes one, or None for one from the environment.
    limits: requests and tokens per minute for this process; or `limiter`, one shared wider.
    progress: a progress bar on stderr (default: when stderr is a terminal).
    """
    concurrency = _check_concurrency(concurrency)
    pace = _pick_limiter(limits, limiter)
    own = client is None or isinstance(client, KorvaneClient)
    if client is None:
        base = AsyncKorvane(max_connections=max(concurrency, 100))
    elif isinstance(client, KorvaneClient):
        base = _async_of(client, concurrency)
    elif isinstance(client, AsyncKorvane):
        base = client
    else:
        raise TypeError(f"client must be an AsyncKorvane, a Korvane or None, not {type(client).__name__}")
    sender = _batch_client(base)
    try:
        return await _run_into(requests, output, sender, concurrency, pace, progress)
    finally:
        await sender.close()
        if own:
            await base.close()


def run(
    requests: Requests,
    output: str | os.PathLike[str],
    *,
    client: KorvaneClient | None = None,
    concurrency: int = 32,
    limits: RateLimits | None = None,
    limiter: Limiter | None = None,
    progress: bool | None = None,
) -> BatchSummary:
    """Answer every request into `output` (JSONL), up to `concurrency` at once; blocks until done.

    As arun(), on an event loop of its own; `client` is a Korvane whose configuration (key, URLs,
    time-out, attempts) makes the asyncio client used, or None for one from the environment.
    """
    if client is not None and not isinstance(client, KorvaneClient):
        raise TypeError(
            f"run() takes a Korvane client, not {type(client).__name__}; with an AsyncKorvane, await arun()"
        )
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        raise RuntimeError("run() blocks, so it cannot run inside an event loop: await korvane_sdk.batch.arun()")
    coroutine = arun(
        requests, output, client=client, concurrency=concurrency, limits=limits, limiter=limiter, progress=progress
    )
    return asyncio.run(coroutine)


async def aresults(
    requests: Iterable[Mapping[str, Any]],
    *,
    client: AsyncKorvane,
    concurrency: int = 32,
    limiter: Limiter | None = None,
) -> AsyncIterator[Result]:
    """(id, ChatCompletion or None, exception or None) for each request, in the order they finish.

    Paced, retried and identified as in arun(), with no file: what a worker of a cluster runs over
    its share. At most `concurrency` results wait for the consumer. Closing the iterator early
    (aclose(), or dropping it) cancels what is still in flight.
    """
    concurrency = _check_concurrency(concurrency)
    if not isinstance(client, AsyncKorvane):
        raise TypeError(f"client must be an AsyncKorvane, not {type(client).__name__}")
    pace = _pick_limiter(None, limiter)
    queue: asyncio.Queue[Any] = asyncio.Queue()
    # At most `concurrency` results wait for the consumer; workers wait for it beyond that. (The
    # queue itself stays unbounded so the end of the run can always be put in.)
    room = asyncio.Semaphore(concurrency)
    finished = object()

    async def emit_when_room(result: Result) -> None:
        await room.acquire()
        queue.put_nowait(result)

    def emit(request_id: str, response: Any, error: BaseException | None) -> Awaitable[None]:
        return emit_when_room((request_id, response, error))

    sender = _batch_client(client)

    async def drive() -> None:
        try:
            await _drive(requests, sender, concurrency, pace, set(), emit, lambda: None)
        finally:
            queue.put_nowait(finished)

    task = asyncio.ensure_future(drive())
    try:
        while True:
            item = await queue.get()
            room.release()
            if item is finished:
                break
            yield item
        await task  # its error, if the input was bad
    finally:
        if not task.done():
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
        await sender.close()
