"""Connections opened by 10 chat streams on one client, over HTTP/1.1 and over TLS, against a local
server that ends each answer as ASGI servers do: the "[DONE]" event, then the chunked body's
terminator in a write of its own, 1 ms later (as over a network: on loopback with no pause both
usually arrive in one read). A stream that closes its connection at "[DONE]" costs a new
connection (and over TLS a handshake) for the next one; requests reading each body to its end
needs one for all."""

import pathlib
import shutil
import subprocess
import sys
import tempfile

SERVER = r"""
import asyncio, ssl, sys

CHUNK = (b'data: {"id":"c1","object":"chat.completion.chunk","created":1,"model":"m",'
         b'"choices":[{"index":0,"delta":{"content":"hi"}}]}\n\n')

def chunked(data):
    return b"%x\r\n%s\r\n" % (len(data), data)

class Streams(asyncio.Protocol):
    connections = 0

    def connection_made(self, transport):
        Streams.connections += 1
        self.transport, self.buffer = transport, b""

    def data_received(self, data):
        self.buffer += data
        head_end = self.buffer.find(b"\r\n\r\n")
        if head_end < 0:
            return
        head = self.buffer[:head_end].decode("latin-1").lower()
        length = 0
        for line in head.split("\r\n"):
            if line.startswith("content-length:"):
                length = int(line.split(":", 1)[1])
        if len(self.buffer) < head_end + 4 + length:
            return
        path = head.split(" ", 2)[1]
        self.buffer = self.buffer[head_end + 4 + length:]
        if path == "/connections":
            body = str(Streams.connections).encode()
            self.transport.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
            return
        asyncio.ensure_future(self.stream())

    async def stream(self):
        self.transport.write(
            b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n")
        for _ in range(5):
            self.transport.write(chunked(CHUNK))
            await asyncio.sleep(0)
        self.transport.write(chunked(b"data: [DONE]\n\n"))
        await asyncio.sleep(DELAY)  # the terminator goes in a write of its own, a moment later
        self.transport.write(b"0\r\n\r\n")

async def main(cert, key):
    context = None
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
    server = await asyncio.get_running_loop().create_server(Streams, "127.0.0.1", 0, ssl=context)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()

DELAY = float(sys.argv[1])
asyncio.run(main(*(sys.argv[2:4] if len(sys.argv) > 3 else (None, None))))
"""

STREAMS = 10


def certificate(folder):
    key, cert = folder / "key.pem", folder / "cert.pem"
    subprocess.run(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1".split()
        + ["-keyout", str(key), "-out", str(cert)],
        check=True,
        capture_output=True,
    )
    return str(cert), str(key)


TERMINATOR_DELAY_S = 0.001


def serve(args):
    process = subprocess.Popen(
        [sys.executable, "-c", SERVER, str(TERMINATOR_DELAY_S), *args], stdout=subprocess.PIPE, text=True
    )
    return process, int(process.stdout.readline())


def connections_for(scheme, args, run):
    process, port = serve(args)
    base = f"{scheme}://127.0.0.1:{port}"
    try:
        run(base)
        from korvane_sdk.http import Session

        probe = Session()
        probe.verify = False
        opened = int(probe.request("GET", f"{base}/connections").text) - 1  # less the probe's own
        probe.close()
        return opened
    finally:
        process.terminate()
        process.wait()


def ours(base):
    from korvane_sdk import KorvaneClient

    with KorvaneClient(api_key="sk-bench", api_url=base, proxy_url=base, verify_ssl=False) as client:
        for _ in range(STREAMS):
            chunks = list(
                client.chat.completions.create(model="m", messages=[{"role": "user", "content": "x"}], stream=True)
            )
            assert len(chunks) == 5


def ours_async(base):
    import asyncio

    from korvane_sdk.aio import AsyncKorvane

    async def run():
        async with AsyncKorvane(api_key="sk-bench", api_url=base, proxy_url=base, verify_ssl=False) as client:
            for _ in range(STREAMS):
                stream = await client.chat.completions.create(
                    model="m", messages=[{"role": "user", "content": "x"}], stream=True
                )
                assert len([chunk async for chunk in stream]) == 5

    asyncio.run(run())


def requests_peer(base):
    import requests
    import urllib3

    urllib3.disable_warnings()
    with requests.Session() as session:
        for _ in range(STREAMS):
            with session.post(
                f"{base}/v1/chat/completions", json={"stream": True}, stream=True, verify=False
            ) as response:
                lines = [line for line in response.iter_lines() if line]
                assert lines[-1] == b"data: [DONE]"


def main():
    if not shutil.which("openssl"):
        print("openssl is needed for the TLS case")
        return
    with tempfile.TemporaryDirectory() as folder:
        tls = certificate(pathlib.Path(folder))
        print(f"{'connections per ' + str(STREAMS) + ' streams':<34}{'HTTP/1.1':>10}{'TLS':>10}")
        peers = [("korvane_sdk", ours), ("korvane_sdk.aio", ours_async)]
        try:
            import requests  # noqa: F401

            peers.append(("requests (reads to the end)", requests_peer))
        except ImportError:
            pass
        for name, run in peers:
            plain = connections_for("http", [], run)
            secure = connections_for("https", list(tls), run)
            print(f"{name:<34}{plain:>10}{secure:>10}", flush=True)


if __name__ == "__main__":
    main()
