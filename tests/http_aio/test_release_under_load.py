"""What AsyncSession lets go of under load and faults: a cancellation in the loop round its answer
comes, use from another thread, the connection cap and idle pool, descriptor exhaustion, fork."""

import asyncio
import gc
import os
import socket
import subprocess
import sys
import textwrap
import time
import warnings

import pytest
from held_server import HeldServer
from korvane_sdk.http import AsyncSession
from line_server import LineServer
from support.sockets import own_connections

HERE = os.path.dirname(os.path.abspath(__file__))
STREAM_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"


@pytest.fixture(scope="module")
def server():
    s = LineServer()
    yield s
    s.stop()


def descriptors():
    return len(os.listdir("/proc/self/fd"))


# ---- a cancellation in the round its answer comes ------------------------------------------------


def chunk(data):
    return b"%x\r\n%s\r\n" % (len(data), data)


@pytest.mark.parametrize(
    "stream, answer",
    [
        # headers and more body than an open stream holds: the server would wait for the reader
        (True, STREAM_HEAD + chunk(b"x" * 65536)),
        (False, b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"),
    ],
    ids=["stream", "whole"],
)
def test_a_request_cancelled_in_the_round_its_answer_comes_is_released(stream, answer):
    held = HeldServer(answer)
    upload = bytearray(b"pinned while the transfer lives")

    async def main():
        loop = asyncio.get_running_loop()
        session = AsyncSession()
        future = session.request("POST", held.url, files={"f": ("f.txt", upload)}, stream=stream, timeout=10)
        assert await asyncio.to_thread(held.requested.wait, 5)
        ours, theirs = socket.socketpair()

        def cancel():  # runs in the round the answer is read, just before it
            loop.remove_reader(ours)
            future.cancel()

        loop.add_reader(ours, cancel)

        def both_ready():
            # While the loop is blocked both become ready, the pair first: the next round runs
            # cancel() and then the transfer's reader, in the order epoll reports them.
            theirs.send(b"!")
            held.go.set()
            held.answered.wait(5)
            time.sleep(0.2)

        loop.call_soon(both_ready)
        with pytest.raises(asyncio.CancelledError):
            await future
        if stream:
            # released: its connection is closed with the unread rest, not kept until close()
            assert await asyncio.to_thread(held.hung_up.wait, 5)
        gc.collect()
        upload.extend(b"!")  # BufferError while a transfer still holds the upload
        await session.close()
        ours.close()
        theirs.close()

    try:
        asyncio.run(main())
    finally:
        held.close()


def unread_sockets(port):
    """Connections to `port` with answer bytes waiting unread on this process's end."""
    return sum(1 for _, unread in own_connections(port) if unread > 0)


def test_cancellation_storm_returns_descriptors_and_memory(server):
    """1,000 streams at once, half cancelled at random points, ten rounds: after each round no
    connection is left holding unread data, and once closed the descriptors and the memory are
    back where they were."""
    import random

    from test_loop_transport import read_stream, rss_kib

    port = int(server.url.rsplit(":", 1)[1])
    # The sanitized build is many times slower: a smaller storm there, the same checks.
    streams, rounds = (300, 4) if os.environ.get("KORVANE_SANITIZED") else (1000, 10)

    async def one_round(session, rng):
        tasks = [
            asyncio.ensure_future(read_stream(session, server.url + "/lines?n=10&gap=0.002")) for _ in range(streams)
        ]
        doomed = set(rng.sample(range(streams), streams // 2))
        for index in sorted(doomed, key=lambda _: rng.random()):
            await asyncio.sleep(rng.random() * 0.001)
            tasks[index].cancel()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        for index, result in enumerate(results):
            if not isinstance(result, asyncio.CancelledError):
                assert not isinstance(result, BaseException), result
                assert index in doomed or len(result) == 10

    async def settled(check):
        for _ in range(100):
            if check():
                return True
            await asyncio.sleep(0.05)
        return check()

    async def main():
        rng = random.Random(22)
        before = descriptors()
        sizes = []
        session = AsyncSession(max_connections=1000)
        for _ in range(rounds):
            await one_round(session, rng)
            assert await settled(lambda: unread_sockets(port) == 0), unread_sockets(port)
            gc.collect()
            sizes.append(rss_kib())
        await session.close()
        gc.collect()
        assert await settled(lambda: descriptors() <= before + 2), (before, descriptors())
        return sizes

    sizes = asyncio.run(main())
    assert sizes[-1] - sizes[2] < 8 * 1024, sizes


# ---- another thread ------------------------------------------------------------------------------


def test_responses_refuse_use_from_another_thread(server):
    """Every entry point that moves a response's transfer raises RuntimeError on another thread;
    the owning loop goes on undisturbed."""

    async def main():
        async with AsyncSession() as session:
            response = await session.request("GET", server.url + "/lines?n=40&gap=0.01", stream=True, timeout=5)
            lines = response.aiter_lines()
            assert await lines.__anext__() == b'data: {"i": 0}'

            def elsewhere():
                attempts = {
                    "aclose": lambda: asyncio.run(response.aclose()),
                    "aread": lambda: asyncio.run(response.aread()),
                    "__aexit__": lambda: asyncio.run(response.__aexit__(None, None, None)),
                    "a step": lambda: next(lines),  # as a task takes it
                    "close": lambda: lines.close(),
                    "throw": lambda: lines.throw(GeneratorExit),
                    "aiter_lines": lambda: response.aiter_lines(),
                    "the session's close": lambda: session.close(),
                }
                accepted = []
                for name, attempt in attempts.items():
                    try:
                        attempt()
                        accepted.append(name)
                    except RuntimeError as error:
                        if "another thread" not in str(error):
                            accepted.append(f"{name}: {error}")
                return accepted

            assert await asyncio.to_thread(elsewhere) == []

            async def rest():
                return [line async for line in lines if line]

            # read on as if nothing happened (the bound only keeps a wedged loop from hanging the run)
            assert len(await asyncio.wait_for(rest(), 30)) == 39

    asyncio.run(main())


def test_a_response_dropped_on_another_thread_is_released_by_its_loop(server):
    async def main():
        async with AsyncSession() as session:
            response = await session.request("GET", server.url + "/stall", stream=True, timeout=10)
            dropped = server.dropped
            box = [response]
            del response
            await asyncio.to_thread(box.clear)  # the last reference goes on that thread
            for _ in range(200):
                if server.dropped > dropped:
                    break
                await asyncio.sleep(0.02)
            assert server.dropped == dropped + 1
            assert (await session.request("GET", server.url + "/small")).json() == {"ok": True}

    asyncio.run(main())


# ---- connections: the cap, the idle pool, descriptor exhaustion -----------------------------------


@pytest.mark.parametrize("cap", [1, 7])
def test_connections_are_capped_and_the_rest_wait(server, cap):
    async def main():
        async with AsyncSession(max_connections=cap) as session:
            assert session.max_connections == cap
            opened = server.connections
            answers = await asyncio.gather(
                *[session.request("GET", server.url + "/small", timeout=10) for _ in range(60)]
            )
            assert [a.json() for a in answers] == [{"ok": True}] * 60
            assert server.connections - opened <= cap

    asyncio.run(main())


def close_wait_count(port):
    """Connections to `port` that their server closed while this process's end stays open."""
    return sum(1 for state, _ in own_connections(port) if state == "08")


def test_idle_connections_their_server_closed_leave_no_close_wait():
    # In a process of its own (no other test's connections counted). It waits until no connection is
    # still open (the server closes each a moment after its answer): counting CLOSE_WAIT before the
    # server closed anything would see none.
    out = run_limited(
        """
        import asyncio
        from line_server import LineServer
        from korvane_sdk.http import AsyncSession
        from test_release_under_load import close_wait_count, own_connections

        server = LineServer()
        port = int(server.url.rsplit(":", 1)[1])

        async def main():
            async with AsyncSession() as session:
                answers = await asyncio.gather(*[session.request("GET", server.url + "/bye") for _ in range(30)])
                assert all(a.status_code == 200 for a in answers)
                for _ in range(100):  # the server closes each a moment after its answer
                    await asyncio.sleep(0.05)
                    states = [state for state, _ in own_connections(port)]
                    if "01" not in states and "08" not in states:  # none open, none left half-closed
                        break
                left = close_wait_count(port)
                # the pool finds them dead and opens new ones
                assert (await session.request("GET", server.url + "/small")).json() == {"ok": True}
                return left

        print(asyncio.run(main()))
        """,
        limit=4096,
    )
    assert out.strip() == "0"


def run_limited(code, limit, **names):
    """Runs `code` in a child interpreter whose descriptor limit is `limit`, with `names` set."""
    script = textwrap.dedent(
        f"""
        import resource, sys
        sys.path[:0] = [{HERE!r}, {os.path.join(HERE, "..")!r}]
        resource.setrlimit(resource.RLIMIT_NOFILE, ({limit}, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        """
    )
    script += "".join(f"{name} = {value!r}\n" for name, value in names.items()) + textwrap.dedent(code)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_descriptor_exhaustion_says_so(server):
    out = run_limited(
        """
        import asyncio, errno
        from korvane_sdk.http import AsyncSession, ConnectionError

        async def main():
            async with AsyncSession(max_connections=1000) as session:
                return await asyncio.gather(
                    *[session.request("GET", url + "/small", timeout=10) for _ in range(150)],
                    return_exceptions=True,
                )

        results = asyncio.run(main())
        failures = [r for r in results if isinstance(r, BaseException)]
        assert failures, "the limit was never reached"
        for failure in failures:
            assert isinstance(failure, ConnectionError), repr(failure)
            assert failure.errno == errno.EMFILE, repr(failure)
            assert "Too many open files" in str(failure) and "max_connections" in str(failure), str(failure)
        print(len(failures))
        """,
        limit=100,
        url=server.url,
    )
    assert int(out) > 0


# ---- fork ------------------------------------------------------------------------------------------


def epoll_targets(loop):
    """The descriptors registered in the epoll set of `loop` (shared with a fork child)."""
    with open(f"/proc/self/fdinfo/{loop._selector._selector.fileno()}") as info:
        return {int(line.split()[1]) for line in info if line.startswith("tfd:")}


def test_a_fork_child_closing_its_copy_leaves_the_parent_streaming(server):
    async def main():
        session = AsyncSession()
        response = await session.request("GET", server.url + "/lines?n=30&gap=0.02", stream=True, timeout=3)
        lines = response.aiter_lines()
        assert await lines.__anext__() == b'data: {"i": 0}'
        registered = epoll_targets(asyncio.get_running_loop())
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads: the child only closes
            pid = os.fork()
        if pid == 0:
            code = 0
            try:
                session.close().close()
                del response, lines
                gc.collect()
            except BaseException:
                code = 1
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert epoll_targets(asyncio.get_running_loop()) == registered  # the child removed nothing
        rest = [line async for line in lines if line]  # no ReadTimeout: the parent's sockets stay watched
        assert len(rest) == 29
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:  # the child's copy refuses new requests
            code = 1
            try:
                session.request("GET", server.url + "/small")
            except RuntimeError as error:
                code = 7 if "another process" in str(error) else 2
            except BaseException:
                code = 3
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 7
        await session.close()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        asyncio.run(main())
