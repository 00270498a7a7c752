"""Per-call time of a GET of a small JSON body against a local keep-alive server (run in its own
process so it does not share the GIL): the SDK's client (`_request` and `list_models`) and its HTTP
layer against requests, httpx and pycurl."""

import json
import statistics
import subprocess
import sys
import time

SERVER = r"""
import asyncio, sys
BODY = b'{"object":"list","data":[{"id":"korvane-1","name":"Korvane 1","object":"model","context_length":32768}]}'
ANSWER = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s" % (len(BODY), BODY)

class Echo(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport, self.buffer = transport, b""
    def data_received(self, data):
        self.buffer += data
        while (end := self.buffer.find(b"\r\n\r\n")) >= 0:
            self.buffer = self.buffer[end + 4:]
            self.transport.write(ANSWER)

async def main():
    server = await asyncio.get_running_loop().create_server(Echo, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()

asyncio.run(main())
"""

CALLS = 2000
ROUNDS = 3


def per_call_us(call):
    for _ in range(100):
        call()
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for _ in range(CALLS):
            call()
        times.append((time.perf_counter() - start) / CALLS * 1e6)
    return statistics.median(times)


def clients(url):
    from korvane_sdk import KorvaneClient
    from korvane_sdk.http import Session

    ours = Session()
    yield "korvane_sdk.http", lambda: ours.request("GET", url).json()
    base = url.removesuffix("/v1/models")
    client = KorvaneClient(api_key="sk-bench", api_url=base, proxy_url=base)
    yield "client._request", lambda: client._request(method="GET", path="/v1/models")
    yield "client.list_models", client.list_models
    try:
        import requests

        rs = requests.Session()
        yield "requests", lambda: rs.get(url).json()
    except ImportError:
        pass
    try:
        import httpx

        hx = httpx.Client()
        yield "httpx", lambda: hx.get(url).json()
    except ImportError:
        pass
    try:
        import io

        import pycurl

        curl = pycurl.Curl()
        curl.setopt(pycurl.URL, url)

        def pycurl_get():
            buffer = io.BytesIO()
            curl.setopt(pycurl.WRITEDATA, buffer)
            curl.perform()
            return json.loads(buffer.getvalue())

        yield "pycurl (easy, reused)", pycurl_get
    except ImportError:
        pass


def main():
    server = subprocess.Popen([sys.executable, "-c", SERVER], stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        url = f"http://127.0.0.1:{port}/v1/models"
        results = [(name, per_call_us(call)) for name, call in clients(url)]
    finally:
        server.terminate()
        server.wait()
    ours = results[0][1]
    print(f"GET small JSON body, per call (median of {ROUNDS} x {CALLS} calls, keep-alive, local server)")
    print(f"{'client':<24}{'us/call':>10}{'vs ours':>10}")
    for name, us in results:
        print(f"{name:<24}{us:>10.1f}{us / ours:>9.2f}x")


if __name__ == "__main__":
    main()
