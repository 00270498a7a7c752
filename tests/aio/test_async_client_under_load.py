"""The async client under load and faults: many more calls than descriptors, the connection cap
as a setting, descriptor exhaustion, streams used from another thread or pulled by tasks, a
stream collected after its loop closed."""

import asyncio
import errno
import gc
import inspect
import os
import subprocess
import sys
import textwrap
import threading

import pytest
from korvane_sdk import exceptions as ex
from korvane_sdk import http
from korvane_sdk.aio import AsyncKorvane
from korvane_sdk.models import ChatCompletionChunk
from rawserver import StreamServer

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..")
MESSAGES = [{"role": "user", "content": "hi"}]
HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"


def chunk_line(i):
    return b'data: {"id":"c%d","object":"chat.completion.chunk","created":1,"model":"m","choices":[]}\n\n' % i


def stream_server(chunks, hold=5.0):
    """A StreamServer sending `chunks` chunk lines, then holding the stream open for `hold` s."""
    server = StreamServer()
    server.hung_up_event = threading.Event()

    def handler(connection):
        if not connection.send(HEAD):
            return
        for i in range(chunks):
            if not connection.send_chunk(chunk_line(i)):
                return
        if connection.wait_for_hang_up(hold):
            server.hung_up_event.set()

    server.handler = handler
    return server


@pytest.fixture(scope="module")
def line_server():
    sys.path.insert(0, os.path.join(TESTS, "http_aio"))
    from line_server import LineServer

    server = LineServer()
    yield server
    server.stop()


def test_twelve_hundred_concurrent_calls_under_the_default_descriptor_limit(line_server):
    """More calls at once than the process has descriptors: the client's connection cap queues
    them, and every call succeeds."""
    script = textwrap.dedent(
        f"""
        import asyncio, resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        from korvane_sdk.aio import AsyncKorvane

        async def main():
            async with AsyncKorvane(api_key="k", api_url={line_server.url!r}, timeout=60, max_retries=1) as client:
                calls = [client._request(method="GET", path="/small") for _ in range(1200)]
                return await asyncio.gather(*calls, return_exceptions=True)

        results = asyncio.run(main())
        failed = [r for r in results if r != {{"ok": True}}]
        print(len(failed), repr(failed[:3]))
        """
    )
    opened = line_server.connections
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("0 "), done.stdout
    assert line_server.connections - opened <= 100  # the default cap


def test_max_connections_is_a_documented_keyword_only_setting():
    client = AsyncKorvane(api_key="k")
    assert client.max_connections == 100 == client._session.max_connections
    parameter = inspect.signature(AsyncKorvane).parameters["max_connections"]
    assert parameter.kind is inspect.Parameter.KEYWORD_ONLY and parameter.default == 100
    assert "max_connections" in AsyncKorvane.__init__.__doc__
    with pytest.raises(TypeError):
        AsyncKorvane("k", None, None, 60, 3, True, 5)  # never positional
    capped = AsyncKorvane(api_key="k", max_connections=8)
    assert capped._session.max_connections == 8
    copy = capped.with_options(timeout=5)
    assert copy.max_connections == 8 == copy._session.max_connections
    capped.max_connections = 3
    assert capped._session.max_connections == 3
    for wrong, error in [(0, ValueError), (-1, ValueError), (2.5, TypeError), (None, TypeError)]:
        with pytest.raises(error, match="max_connections"):
            AsyncKorvane(api_key="k", max_connections=wrong)


class OutOfDescriptors:
    """A session whose every request fails as when no descriptor is left (or as refused)."""

    def __init__(self, number):
        self.number = number
        self.requests = 0

    def request(self, **_):
        self.requests += 1
        error = http.ConnectionError("Too many open files: the process's descriptor limit (RLIMIT_NOFILE) is reached")
        error.errno = self.number
        raise error

    async def close(self):
        pass


@pytest.mark.parametrize("number, attempts", [(errno.EMFILE, 1), (errno.ENFILE, 1), (errno.ECONNREFUSED, 3)])
def test_descriptor_exhaustion_is_not_repeated_at_once(number, attempts):
    async def main():
        client = AsyncKorvane(api_key="k", api_url="http://127.0.0.1:9", max_retries=3)
        client._session = session = OutOfDescriptors(number)
        with pytest.raises(ex.ConnectionError, match="Too many open files"):
            await client._request(method="GET", path="/x")
        return session.requests

    assert asyncio.run(main()) == attempts


def test_a_stream_refuses_use_from_another_thread_and_its_loop_goes_on():
    server = stream_server(3, hold=1.0)

    async def main():
        async with AsyncKorvane(api_key="k", proxy_url=server.url, timeout=5) as client:
            stream = await client.chat.completions.create(model="m", messages=MESSAGES, stream=True)
            assert (await stream.__anext__()).id == "c0"

            def elsewhere():
                refused = []
                for step in (stream.aclose, stream.__anext__, lambda: stream.__aexit__(None, None, None)):
                    try:
                        asyncio.run(step())
                    except RuntimeError as error:
                        refused.append("another thread" in str(error))
                return refused

            assert await asyncio.to_thread(elsewhere) == [True, True, True]
            assert [(await stream.__anext__()).id for _ in range(2)] == ["c1", "c2"]  # not wedged
            await stream.aclose()
            assert await asyncio.to_thread(server.hung_up_event.wait, 5)

    try:
        asyncio.run(main())
    finally:
        server.close()


def test_each_pull_of_a_stream_can_be_a_task():
    server = stream_server(4, hold=0.5)

    async def main():
        async with AsyncKorvane(api_key="k", proxy_url=server.url, timeout=5) as client:
            stream = await client.chat.completions.create(model="m", messages=MESSAGES, stream=True)
            pulled = [await asyncio.create_task(anext(stream)) for _ in range(4)]
            assert [chunk.id for chunk in pulled] == ["c0", "c1", "c2", "c3"]
            assert all(isinstance(chunk, ChatCompletionChunk) for chunk in pulled)
            await stream.aclose()

    try:
        asyncio.run(main())
    finally:
        server.close()


def test_a_first_pull_collected_after_its_loop_closed_lets_its_stream_go():
    server = stream_server(0, hold=5.0)  # headers, then nothing: the first pull waits
    unraisable = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = unraisable.append
    loop = asyncio.new_event_loop()
    try:
        client = AsyncKorvane(api_key="k", proxy_url=server.url, timeout=5)

        async def start(client):
            stream = await client.chat.completions.create(model="m", messages=MESSAGES, stream=True)
            pull = loop.create_task(stream.__anext__())
            await asyncio.sleep(0.3)  # sent, headers in, waiting for the first line
            assert not pull.done()
            return pull

        pull = loop.run_until_complete(start(client))
        loop.close()  # the pull's task is left suspended
        del pull, client  # the client's end lets the pull's coroutine be collected, and closed
        gc.collect()
        assert server.hung_up_event.wait(5)
    finally:
        sys.unraisablehook = old_hook
        server.close()
    assert not [u for u in unraisable if "GeneratorExit" in str(u.exc_value)], unraisable
