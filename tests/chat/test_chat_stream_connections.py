"""A stream ended by "[DONE]" gives its connection back when the body's end follows at once, as a
reader that reads every body to its end (requests) does; it never hands out what follows "[DONE]"
and never waits for a body that does not end."""

import asyncio
import json
import socket
import subprocess
import sys
import threading
import time

import pytest
from korvane_sdk import KorvaneClient
from rawserver import Server

HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"


def chunk(data):
    return b"%x\r\n%s\r\n" % (len(data), data)


def event(index):
    return b"data: " + json.dumps({"id": f"c{index}", "created": 1, "model": "m", "choices": []}).encode() + b"\n\n"


def streaming(after_done=b"", hold=None):
    """Answers every request on a connection with two chunks and "[DONE]", then `after_done`, then
    (once `hold` is set, if given) the terminator, a moment after "[DONE]" as over a network."""

    def handler(conn, server):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while server.receive(conn) is not None:
            conn.sendall(HEAD + chunk(event(0)) + chunk(event(1)) + chunk(b"data: [DONE]\n\n"))
            if after_done:
                conn.sendall(chunk(after_done))
            if hold is not None:
                hold.wait(10)
            time.sleep(0.001)
            conn.sendall(b"0\r\n\r\n")

    return handler


def ids_of_streams(url, count):
    with KorvaneClient(api_key="k", proxy_url=url, timeout=5) as client:
        return [
            [c.id for c in client.chat.completions.create(model="m", messages=[], stream=True)] for _ in range(count)
        ]


async def async_ids_of_streams(url, count):
    from korvane_sdk.aio import AsyncKorvane

    async with AsyncKorvane(api_key="k", proxy_url=url, timeout=5) as client:
        ids = []
        for _ in range(count):
            stream = await client.chat.completions.create(model="m", messages=[], stream=True)
            ids.append([c.id async for c in stream])
        return ids


@pytest.mark.parametrize("read", [ids_of_streams, async_ids_of_streams], ids=["blocking", "async"])
def test_streams_ended_by_done_share_one_connection(read):
    server = Server(streaming())
    try:
        ids = read(server.url, 10)
        assert (asyncio.run(ids) if asyncio.iscoroutine(ids) else ids) == [["c0", "c1"]] * 10
        # Without the wait for the body's end each stream would need a connection of its own; a
        # loaded machine may now and then let the terminator miss the few milliseconds' grace.
        assert server.connections <= 3
    finally:
        server.stop()


def test_as_many_connections_as_requests_reading_to_the_end():
    requests = pytest.importorskip("requests")
    server = Server(streaming())
    try:
        ids_of_streams(server.url, 5)
        ours = server.connections
        with requests.Session() as session:
            for _ in range(5):
                session.post(server.url + "/v1/chat/completions", json={}).content
        assert ours <= 2 and server.connections - ours == 1  # ours: as above, a rare miss under load
    finally:
        server.stop()


def test_nothing_after_done_is_handed_out_and_a_body_that_does_not_end_is_not_waited_for():
    """The server sends another event after "[DONE]" and holds the body open: the stream ends with
    the events before "[DONE]" while the body is still held, and the connection is dropped."""
    hold = threading.Event()
    server = Server(streaming(after_done=event(9), hold=hold))
    try:
        assert ids_of_streams(server.url, 1) == [["c0", "c1"]]
        assert not hold.is_set()  # returned while the server still held the body open
        hold.set()
        ids_of_streams(server.url, 1)
        assert server.connections == 2
    finally:
        hold.set()
        server.stop()


def test_an_async_stream_does_not_wait_for_a_body_that_does_not_end():
    hold = threading.Event()
    server = Server(streaming(after_done=event(9), hold=hold))
    try:
        assert asyncio.run(async_ids_of_streams(server.url, 1)) == [["c0", "c1"]]
        assert not hold.is_set()  # returned while the server still held the body open
    finally:
        hold.set()
        server.stop()


def test_a_process_whose_async_streams_ended_by_done_exits_cleanly():
    """What an ended stream leaves for the process (the wait for its body's end) must not outlive
    the interpreter: the child exits with status 0, not a crash in its exit handlers."""
    server = Server(streaming())
    child = (
        "import asyncio, sys\n"
        "from korvane_sdk.aio import AsyncKorvane\n"
        "async def main():\n"
        "    async with AsyncKorvane(api_key='k', proxy_url=sys.argv[1], timeout=5) as client:\n"
        "        for _ in range(3):\n"
        "            stream = await client.chat.completions.create(model='m', messages=[], stream=True)\n"
        "            assert [c.id async for c in stream] == ['c0', 'c1']\n"
        "asyncio.run(main())\n"
    )
    try:
        done = subprocess.run([sys.executable, "-c", child, server.url], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
    finally:
        server.stop()
