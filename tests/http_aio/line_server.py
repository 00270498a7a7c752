"""A loopback HTTP/1.1 server on an event loop of its own thread, able to hold thousands of
keep-alive connections: GET /small answers a short JSON body, GET /close answers it with
"Connection: close", GET /bye answers it and closes the connection a moment later (an idle
keep-alive connection its server gives up), GET /lines?n=N&gap=S streams N data lines (chunked, S
seconds apart), GET /stall sends headers and then nothing. It counts accepted connections and
notices clients that went away."""

import asyncio
import threading
from urllib.parse import parse_qs, urlsplit


class LineServer:
    def __init__(self):
        self.connections = 0
        self.dropped = 0  # connections the client closed before its answer ended
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(ready,), daemon=True)
        self.thread.start()
        ready.wait()
        self.url = f"http://127.0.0.1:{self.port}"

    def _run(self, ready):
        asyncio.set_event_loop(self.loop)
        self.server = self.loop.run_until_complete(asyncio.start_server(self._serve, "127.0.0.1", 0, backlog=4096))
        self.port = self.server.sockets[0].getsockname()[1]
        ready.set()
        self.loop.run_forever()

    async def _serve(self, reader, writer):
        self.connections += 1
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                target = head.split(b" ", 2)[1].decode()
                parts = urlsplit(target)
                query = {k: v[0] for k, v in parse_qs(parts.query).items()}
                if parts.path == "/close":
                    body = b'{"ok": true}'
                    writer.write(
                        b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
                    )
                    await writer.drain()
                    await reader.read()  # the client closes it, as the header says
                    return
                if parts.path == "/bye":
                    body = b'{"ok": true}'
                    writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
                    await writer.drain()
                    await asyncio.sleep(0.05)  # the answer is in and the connection idles first
                    return
                if parts.path == "/small":
                    body = b'{"ok": true}'
                    writer.write(
                        b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
                        % (len(body), body)
                    )
                    await writer.drain()
                elif parts.path == "/lines":
                    writer.write(
                        b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
                    )
                    gap = float(query.get("gap", "0"))
                    for i in range(int(query.get("n", "10"))):
                        line = b'data: {"i": %d}\n\n' % i
                        writer.write(b"%x\r\n%s\r\n" % (len(line), line))
                        await writer.drain()
                        if gap:
                            await asyncio.sleep(gap)
                    writer.write(b"0\r\n\r\n")
                    await writer.drain()
                elif parts.path == "/stall":
                    writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\nab")
                    await writer.drain()
                    await reader.read()  # until the client goes away
                    self.dropped += 1
                    return
        except asyncio.IncompleteReadError as end:
            if end.partial:
                self.dropped += 1  # gone in the middle of a request
        except ConnectionError:
            self.dropped += 1
        finally:
            writer.close()

    def stop(self):
        async def shut():
            self.server.close()

        asyncio.run_coroutine_threadsafe(shut(), self.loop).result()
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
