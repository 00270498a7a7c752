"""The local platform stand-in under load: a burst of 300 new connections (time until each has its
answer), 500 streamed answers opened at once and never read (how many are answered within 20 s,
below the stand-in's 30 s write time-out), and LocalPlatform.stop() while a client keeps an idle
connection open. KORVANE_EMULATOR=/path/to/korvane-emulator measures another build of it."""

import http.client
import select
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from korvane_sdk.testing import LocalPlatform


def request(platform: LocalPlatform, method: str, path: str, body: bytes = b"") -> bytes:
    return (
        f"{method} {path} HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {platform.admin_key}\r\n"
        f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n"
    ).encode() + body


def process_status(platform: LocalPlatform) -> str:
    with open(f"/proc/{platform._process.pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return f"{fields['Threads'].strip()} threads, {fields['VmRSS'].strip()} resident"


def burst(platform: LocalPlatform, count: int) -> None:
    start_together = threading.Barrier(count)

    def one(_) -> bool:
        start_together.wait()
        with socket.create_connection(platform._address, timeout=60) as sock:
            sock.sendall(request(platform, "GET", "/v1/models"))
            return sock.makefile("rb").readline().startswith(b"HTTP/1.1 200")

    with ThreadPoolExecutor(count) as pool:
        start = time.perf_counter()
        answered = sum(pool.map(one, range(count)))
        elapsed = time.perf_counter() - start
    print(f"{count} new connections at once: {answered} answered in {elapsed:.2f} s")


def unread_streams(platform: LocalPlatform, count: int, limit: float) -> None:
    body = b'{"model":"korvane-1","messages":[{"role":"user","content":"x"}],"stream":true,"emulator_tokens":1000000}'
    sockets, poller = {}, select.poll()
    start = time.perf_counter()
    for _ in range(count):
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.setblocking(False)
        sock.connect_ex(platform._address)
        sockets[sock.fileno()] = sock
        poller.register(sock, select.POLLOUT)
    answered, last = 0, 0.0
    while answered < count and (left := start + limit - time.perf_counter()) > 0:
        for fd, event in poller.poll(left * 1000):
            if event & (select.POLLERR | select.POLLHUP):
                poller.unregister(fd)
            elif event & select.POLLOUT:
                sockets[fd].send(request(platform, "POST", "/v1/chat/completions", body))
                poller.modify(fd, select.POLLIN)
            elif event & select.POLLIN:
                answered += sockets[fd].recv(64).startswith(b"HTTP/1.1 200")
                last = time.perf_counter() - start
                poller.unregister(fd)
    print(
        f"{count} unread streams opened at once: {answered} answered within {limit:.0f} s (the last after {last:.2f} s)"
    )
    print(f"  stand-in meanwhile: {process_status(platform)}")
    for sock in sockets.values():
        sock.close()


def stop_with_an_idle_connection() -> None:
    platform = LocalPlatform()
    connection = http.client.HTTPConnection(*platform._address, timeout=10)
    connection.request("GET", "/v1/models", headers={"Authorization": f"Bearer {platform.admin_key}"})
    connection.getresponse().read()
    start = time.perf_counter()
    platform.stop()
    print(f"stop() with an idle client connection open: {time.perf_counter() - start:.2f} s")
    connection.close()


def main() -> None:
    with LocalPlatform() as platform:
        burst(platform, 300)
    with LocalPlatform() as platform:
        unread_streams(platform, 500, limit=20)
    stop_with_an_idle_connection()


if __name__ == "__main__":
    main()
