"""What only the async client has: coroutines, cancellation, time-outs, loop binding, many loops.

The behaviour it shares with the blocking client is checked by the blocking client's own suites
(core, chat, admin, e2e), which run against both.
"""

import asyncio
import inspect
import threading

import korvane_sdk
import pytest
from korvane_sdk import exceptions as ex
from korvane_sdk import http
from korvane_sdk.aio import AsyncChatCompletionStream, AsyncKorvane, AsyncKorvaneClient
from korvane_sdk.chat import ChatCompletions
from korvane_sdk.feedback import FeedbackManager
from korvane_sdk.models import ChatCompletionChunk, Tenant
from korvane_sdk.tenants import TenantManager
from korvane_sdk.training import TrainingManager
from rawserver import StreamServer

MESSAGES = [{"role": "user", "content": "one two three four five"}]


def client_of(emulator, **options):
    settings = {"api_key": emulator.admin_key, "api_url": emulator.url, "proxy_url": emulator.url, "timeout": 5}
    settings.update(options)
    return AsyncKorvane(**settings)


def run(coroutine):
    return asyncio.run(coroutine)


# ---- the surface ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "blocking, attribute",
    [(TenantManager, "tenants"), (FeedbackManager, "feedback"), (TrainingManager, "training")],
)
def test_every_operation_has_an_awaited_twin_with_its_parameters(blocking, attribute):
    namespace = getattr(AsyncKorvane(), attribute)
    operations = [name for name, value in vars(blocking).items() if not name.startswith("_") and callable(value)]
    assert operations
    for name in operations:
        twin = getattr(type(namespace), name)
        assert inspect.signature(twin) == inspect.signature(getattr(blocking, name)), name
        assert inspect.iscoroutinefunction(twin) == (not name.startswith("iter")), name


def test_client_surface():
    assert AsyncKorvaneClient is AsyncKorvane
    assert "AsyncKorvane" not in korvane_sdk.__all__ and "AsyncKorvaneClient" not in korvane_sdk.__all__
    for name in ("close", "aclose", "list_models", "_request", "_request_stream", "_handle_response", "__aenter__"):
        assert inspect.iscoroutinefunction(getattr(AsyncKorvane, name)), name
    assert inspect.iscoroutinefunction(type(AsyncKorvane().chat.completions).create)
    assert inspect.signature(type(AsyncKorvane().chat.completions).create) == inspect.signature(ChatCompletions.create)
    # the blocking client's parameters, and the connection cap as a keyword-only one after them
    own = list(inspect.signature(AsyncKorvane.__init__).parameters.values())
    assert own[:-1] == list(inspect.signature(korvane_sdk.KorvaneClient.__init__).parameters.values())
    assert own[-1].name == "max_connections" and own[-1].kind is inspect.Parameter.KEYWORD_ONLY


def test_configuration_is_the_blocking_clients(monkeypatch):
    monkeypatch.setenv("KORVANE_API_KEY", "sk-env")
    monkeypatch.setenv("KORVANE_API_URL", "https://env.example//")
    client = AsyncKorvane(timeout=3, verify_ssl=False, retry_on_busy=True)
    assert (client.api_key, client.api_url, client.proxy_url) == (
        "sk-env",
        "https://env.example",
        "https://proxy.korvane.ai",
    )
    assert (client.timeout, client.max_retries, client.retry_on_busy, client.backoff_max) == (3, 3, True, 8.0)
    assert client._session.verify is False and "sk-env" not in repr(client)
    copy = client.with_options(timeout=9)
    assert type(copy) is AsyncKorvane and copy.timeout == 9 and copy._session is client._session  # shared
    own = client.with_options(verify_ssl=True)._session
    assert type(own) is http.AsyncSession and own is not client._session and own.verify is True
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        client.with_options(colour="red")


# ---- calls and streams ---------------------------------------------------------------------------


def test_checks_fail_at_the_await_and_send_nothing(emulator):
    async def main():
        async with client_of(emulator) as client:
            pending = client.chat.completions.create(model="m")  # no messages: nothing raised yet
            assert inspect.iscoroutine(pending)
            with pytest.raises(TypeError, match="messages"):
                await pending
            with pytest.raises(ValueError):
                await client.tenants.iter(page_size=0).__anext__()
            with pytest.raises((ValueError, ex.KorvaneError)):
                await client.tenants.get("")

    run(main())
    assert emulator.requests() == 0


def test_concurrent_calls_and_streams_on_one_client(emulator):
    async def main():
        async with client_of(emulator) as client:
            whole = (await client.chat.completions.create(model="korvane-1", messages=MESSAGES)).choices[0]

            async def streamed():
                stream = await client.chat.completions.create(model="korvane-1", messages=MESSAGES, stream=True)
                assert isinstance(stream, AsyncChatCompletionStream)
                return [chunk async for chunk in stream]

            results = await asyncio.gather(*(streamed() for _ in range(20)), client.list_models())
            for chunks in results[:-1]:
                assert all(isinstance(c, ChatCompletionChunk) for c in chunks)
                text = "".join(c.choices[0].get("delta", {}).get("content", "") for c in chunks if c.choices)
                assert text == whole.message.content
            assert results[-1]

    run(main())


def test_stream_sends_on_first_pull_and_aclose_releases_it(emulator):
    async def main():
        async with client_of(emulator) as client:
            stream = await client.chat.completions.create(
                model="korvane-1", messages=MESSAGES, stream=True, emulator_tokens=5000
            )
            assert emulator.requests("/v1/chat/completions") == 0
            async with stream:
                assert isinstance(await stream.__anext__(), ChatCompletionChunk)
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            await stream.aclose()  # again: nothing happens
            assert (await client.chat.completions.create(model="korvane-1", messages=MESSAGES)).choices

    run(main())


def test_stream_read_natively_or_through_a_patched_aiter_lines_gives_the_same_chunks(emulator, monkeypatch):
    async def chunks():
        async with client_of(emulator) as client:
            stream = await client.chat.completions.create(model="korvane-1", messages=MESSAGES, stream=True)
            # the id and time are per answer
            return [{**chunk.model_dump(), "id": None, "created": None} async for chunk in stream]

    native = run(chunks())
    original = http.AsyncResponse.aiter_lines
    calls = []

    def patched(response):
        calls.append(response)
        return original(response)

    monkeypatch.setattr(http.AsyncResponse, "aiter_lines", patched)
    assert run(chunks()) == native
    assert len(calls) == 1 and len(native) > 3


def test_pages_walk_every_record(emulator):
    async def main():
        async with client_of(emulator) as client:
            made = [await client.tenants.create(name=f"T{i}", slug=f"t{i}") for i in range(5)]
            seen = [tenant async for tenant in client.tenants.iter(page_size=2)]
            assert [t.id for t in seen] == [t.id for t in made] and all(isinstance(t, Tenant) for t in seen)

    run(main())
    assert emulator.requests("/api/v1/tenants") == 5 + 3  # five creations, pages of 2, 2 and 1


def test_replaced_request_seam_is_awaited():
    class Recording(AsyncKorvane):
        async def _request(self, **call):
            self.calls.append(call)
            await asyncio.sleep(0)
            return {"data": []}

    async def main():
        client = Recording()
        client.calls = []
        assert await client.list_models() == []
        assert client.calls == [{"method": "GET", "path": "/v1/models"}]

    run(main())


FEEDBACK = {
    "id": "f1",
    "tenant_id": "t1",
    "request_id": "r1",
    "rating": 1,
    "tags": ["a", "b"],
    "created_at": "2024-01-01T00:00:00Z",
}


@pytest.mark.parametrize(
    "operation, answer",
    [
        (lambda feedback, tags: feedback.create("r1", 1, tags=tags), FEEDBACK),  # into the request record
        (lambda feedback, tags: feedback.list(tags=tags), [FEEDBACK]),  # joined into the query
    ],
)
def test_one_shot_iterator_argument_is_read_once_as_by_the_blocking_client(operation, answer):
    sent, pulls = [], []

    def tags():
        for tag in ("a", "b"):
            pulls.append(tag)
            yield tag

    def record(**call):
        sent.append(call)
        return answer

    blocking = korvane_sdk.KorvaneClient(api_key="k")
    blocking._request = record
    expected = operation(blocking.feedback, tags())

    class Recording(AsyncKorvane):
        async def _request(self, **call):
            return record(**call)

    got = run(operation(Recording(api_key="k").feedback, tags()))
    assert pulls == ["a", "b", "a", "b"]  # each client read its own iterator once, whole
    assert sent[0] == sent[1] and got == expected


@pytest.fixture
def data_file(tmp_path):
    path = tmp_path / "data.jsonl"
    path.write_text('{"prompt": "p", "completion": "c"}\n')
    return path


def test_upload_cancelled_mid_request_closes_its_file(data_file):
    seen = []

    class Hanging(AsyncKorvane):
        async def _request(self, **call):
            seen.append(call["files"]["file"])
            await asyncio.Event().wait()  # never answered

    async def main():
        task = asyncio.ensure_future(Hanging(api_key="k").training.upload_dataset("ds-1", str(data_file)))
        while not seen:
            await asyncio.sleep(0)
        assert not seen[0].closed  # open while the request is in flight
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert len(seen) == 1 and seen[0].closed and seen[0].name == str(data_file)


DATASET = {
    "id": "ds-1",
    "tenant_id": "t1",
    "name": "d",
    "num_examples": 1,
    "size_bytes": 36,
    "dataset_type": "sft",
    "status": "ready",
    "created_at": "2024-01-01T00:00:00Z",
}


def test_upload_opens_its_file_once_and_closes_it_before_reading_the_answer(data_file):
    opened = []

    class Recording(AsyncKorvane):
        async def _request(self, **call):
            file = call["files"]["file"]
            opened.append(file)
            assert file.read() == data_file.read_bytes()
            return DATASET

        async def bad(self, **call):
            opened.append(call["files"]["file"])
            return ["not a dataset"]

    async def main():
        client = Recording(api_key="k")
        dataset = await client.training.upload_dataset("ds-1", str(data_file))
        client._request = client.bad
        with pytest.raises(ex.KorvaneError):
            await client.training.upload_dataset("ds-1", str(data_file))
        return dataset

    assert run(main()).id == "ds-1"
    assert len(opened) == 2 and all(file.closed for file in opened)


# ---- faults of the stand-in ----------------------------------------------------------------------


def test_busy_answer_repeated_after_an_awaited_pause(emulator):
    pauses = []

    async def record(seconds):
        pauses.append(seconds)

    async def main():
        async with client_of(emulator, retry_on_busy=True) as client:
            client._sleep = record
            emulator.inject_rate_limit(times=1, retry_after="2")
            assert await client.tenants.list() == []
            emulator.inject_server_error(times=1, status=503)
            client.retry_on_busy = False
            with pytest.raises(ex.ServerError) as caught:
                await client.tenants.list()
            assert caught.value.http_status == 503

    run(main())
    assert pauses == [2.0]


def test_dropped_stream_raises_from_the_pull_and_client_goes_on(emulator):
    async def main():
        async with client_of(emulator) as client:
            emulator.inject_drop_stream(after_chunks=2)
            stream = await client.chat.completions.create(model="korvane-1", messages=MESSAGES, stream=True)
            received = []
            with pytest.raises(http.RequestException):
                async for chunk in stream:
                    received.append(chunk)
            assert len(received) == 2
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            assert await client.list_models()

    run(main())


def test_slow_answer_times_out_with_the_clients_error(emulator):
    async def main():
        async with client_of(emulator, timeout=0.3, max_retries=2) as client:
            emulator.inject_delay(1.0, times=2)
            with pytest.raises(ex.TimeoutError, match="Request timed out after 0.3s") as caught:
                await client.tenants.list()
            assert caught.value.method == "GET" if hasattr(caught.value, "method") else True

    run(main())


# ---- cancellation and time-outs --------------------------------------------------------------------


def test_cancelled_call_raises_cancelled_error_and_client_goes_on(emulator):
    async def main():
        async with client_of(emulator) as client:
            emulator.inject_delay(0.5)
            task = asyncio.ensure_future(client.tenants.list())
            await asyncio.sleep(0.1)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert await client.tenants.list() == []

    run(main())


def test_wait_for_time_out_ends_a_call(emulator):
    async def main():
        async with client_of(emulator) as client:
            emulator.inject_delay(0.5)
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(client.list_models(), 0.1)
            assert await client.list_models()

    run(main())


def test_cancelled_stream_pull_finishes_the_stream():
    # A server that sends one chunk, then holds the stream open: the second pull really waits.
    server = StreamServer()
    hung_up = threading.Event()
    head = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
    first = b'data: {"id":"c0","object":"chat.completion.chunk","created":1,"model":"m","choices":[]}\n\n'

    def handler(connection):
        if connection.send(head) and connection.send_chunk(first) and connection.wait_for_hang_up(5):
            hung_up.set()

    server.handler = handler

    async def main():
        async with AsyncKorvane(api_key="k", proxy_url=server.url, timeout=5) as client:
            stream = await client.chat.completions.create(model="m", messages=MESSAGES, stream=True)
            assert (await stream.__anext__()).id == "c0"
            pull = asyncio.ensure_future(stream.__anext__())
            await asyncio.sleep(0.05)  # the pull is waiting for the held stream
            assert not pull.done()
            # while it waits, the stream refuses a second pull and a close, as an async generator does
            with pytest.raises(RuntimeError, match="already running"):
                await stream.__anext__()
            with pytest.raises(RuntimeError, match="already running"):
                await stream.aclose()
            assert not pull.done()
            pull.cancel()
            with pytest.raises(asyncio.CancelledError):
                await pull
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            # the cancellation closed the connection at once, without reading the rest
            assert await asyncio.to_thread(hung_up.wait, 5)

    try:
        run(main())
    finally:
        server.close()


def test_cancelled_stream_before_its_answer(emulator):
    async def main():
        async with client_of(emulator) as client:
            emulator.inject_delay(0.5)
            stream = await client.chat.completions.create(model="korvane-1", messages=MESSAGES, stream=True)
            pull = asyncio.ensure_future(stream.__anext__())
            await asyncio.sleep(0.1)
            pull.cancel()
            with pytest.raises(asyncio.CancelledError):
                await pull
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()

    run(main())


def test_reentrant_pull_refused(emulator):
    async def main():
        async with client_of(emulator) as client:
            emulator.inject_delay(0.3)
            stream = await client.chat.completions.create(model="korvane-1", messages=MESSAGES, stream=True)
            first = asyncio.ensure_future(stream.__anext__())
            await asyncio.sleep(0)
            with pytest.raises(RuntimeError, match="already running"):
                await stream.__anext__()
            with pytest.raises(RuntimeError, match="already running"):
                await stream.aclose()
            assert isinstance(await first, ChatCompletionChunk)
            await stream.aclose()

    run(main())


# ---- loops and threads -----------------------------------------------------------------------------


def test_use_from_another_loop_or_thread_is_a_clear_error(emulator):
    client = client_of(emulator)
    assert run(client.list_models())
    with pytest.raises(RuntimeError, match="bound to another event loop"):
        run(client.list_models())
    failures = []

    def elsewhere():
        try:
            run(client.list_models())
        except RuntimeError as error:
            failures.append(error)

    thread = threading.Thread(target=elsewhere)
    thread.start()
    thread.join(10)
    assert len(failures) == 1 and "bound to another event loop" in str(failures[0])


def test_many_loops_one_after_another(emulator):
    async def one_round(i):
        async with client_of(emulator) as client:
            stream = await client.chat.completions.create(model="korvane-1", messages=MESSAGES, stream=True)
            chunks = [chunk async for chunk in stream]
            tenant = await client.tenants.create(name=f"R{i}", slug=f"r{i}")
            return len(chunks), tenant.slug

    counts = {run(one_round(i))[0] for i in range(15)}
    assert len(counts) == 1 and counts.pop() > 1


def test_cancellation_storm_leaves_the_client_usable(emulator):
    """Many calls and streams at once, half cancelled at random points, round after round."""
    import random

    rng = random.Random(18)

    async def one(client, i):
        if i % 2:
            return len(await client.list_models())
        stream = await client.chat.completions.create(model="korvane-1", messages=MESSAGES, stream=True)
        return len([chunk async for chunk in stream])

    async def main():
        async with client_of(emulator) as client:
            for _ in range(3):
                tasks = [asyncio.ensure_future(one(client, i)) for i in range(60)]
                for task in rng.sample(tasks, len(tasks) // 2):
                    asyncio.get_running_loop().call_later(rng.uniform(0, 0.05), task.cancel)
                results = await asyncio.gather(*tasks, return_exceptions=True)
                failures = [r for r in results if isinstance(r, BaseException)]
                assert all(isinstance(f, asyncio.CancelledError) for f in failures), failures[:3]
                assert all(r > 0 for r in results if isinstance(r, int))
            assert await client.list_models()
            assert (await client.chat.completions.create(model="korvane-1", messages=MESSAGES)).choices

    run(main())


# ---- the native awaitables take throw() as a coroutine does --------------------------------------


async def _coroutine():
    await asyncio.sleep(0)


AWAITABLES = {
    "coroutine (the reference)": lambda client: _coroutine(),
    "a whole call": lambda client: client.tenants.get("t1"),
    "a page's pull": lambda client: client.tenants.iter().__anext__(),
}


@pytest.mark.parametrize("make", AWAITABLES.values(), ids=AWAITABLES.keys())
@pytest.mark.parametrize(
    "arguments, raised, message",
    [
        ((ValueError("given"),), ValueError, "given"),
        ((KeyError,), KeyError, ""),
        ((42,), TypeError, "exceptions must be classes or instances deriving from BaseException, not int"),
        ((), TypeError, "throw expected"),
    ],
)
def test_throw_before_the_first_step_raises_what_a_coroutine_raises(emulator, make, arguments, raised, message):
    async def scenario():
        async with client_of(emulator) as client:
            awaitable = make(client)
            iterator = awaitable.__await__()
            with pytest.raises(raised) as caught:
                iterator.throw(*arguments)
            iterator.close()
            return caught.value

    error = run(scenario())
    if message:
        assert message in str(error)
