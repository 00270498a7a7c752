"""Raw-socket loopback servers for the awkward wire cases: split lines, stalls, resets, trickles,
endless bodies, TLS, connection counting. Every test server of the suite is one of these.

- Server: a thread per connection, each running `handler(conn, server)`; handlers below.
- StreamServer: one connection at a time, the request read for the handler, which writes the
  answer in pieces through a Connection that notes whether the client hung up.
- SilentServer: accepts and never answers.
- hypercorn_server: an ASGI application served by hypercorn over TLS (HTTP/2 by ALPN).
"""

import contextlib
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import zlib

JSON_HEADERS = ("Content-Type: application/json",)
STREAM_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"


def read_request(conn):
    """Reads one request (head and Content-Length body) from a socket; None when it closes first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def answer(body=b"", status="200 OK", headers=()):
    head = [f"HTTP/1.1 {status}", f"Content-Length: {len(body)}", *headers]
    return ("\r\n".join(head) + "\r\n\r\n").encode() + body


def reply(body=b"", status="200 OK", headers=JSON_HEADERS):
    """An answer with a JSON content type."""
    return answer(body, status, headers)


def reset(conn):
    """Closes with a TCP reset instead of an orderly end."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def accepted(sock):
    """The connections accepted on a listening socket, until it is closed."""
    while True:
        try:
            conn, _ = sock.accept()
        except OSError:
            return
        yield conn


class Server:
    """A loopback TCP server (TLS with an ssl context); each accepted connection runs
    `handler(conn, server)` in a thread. Counts connections, requests and bytes sent."""

    def __init__(self, handler, tls=None, host="127.0.0.1"):
        self.handler = handler
        self.tls = tls
        self.sock = socket.create_server((host, 0))
        self.port = self.sock.getsockname()[1]
        self.url = f"{'https' if tls else 'http'}://{host}:{self.port}"
        self.connections = 0
        self.requests = []
        self.sent = 0
        self.closed = threading.Event()  # a handler saw its client go away
        self._conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        for conn in accepted(self.sock):
            self.connections += 1
            self._conns.append(conn)
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        try:
            if self.tls:
                conn = self.tls.wrap_socket(conn, server_side=True)
                self._conns.append(conn)
            self.handler(conn, self)
        except OSError:  # ssl.SSLError is one too
            self.closed.set()

    def receive(self, conn):
        """The next request on `conn` (head and Content-Length body); None once the client closed."""
        request = read_request(conn)
        if request is not None:
            self.requests.append(request)
        return request

    def send(self, conn, data):
        conn.sendall(data)
        self.sent += len(data)

    def stop(self):
        self.sock.close()
        for conn in self._conns:
            try:
                conn.close()
            except OSError:
                pass


def keep_alive(body=b"ok", status="200 OK", headers=()):
    """A handler answering every request on a connection with the same answer."""

    def handler(conn, server):
        while server.receive(conn) is not None:
            server.send(conn, answer(body, status, headers))

    return handler


def pieces(*parts, delay=0.01, headers=("Content-Type: text/plain",)):
    """A handler sending a close-delimited body in separate writes with pauses between them."""

    def handler(conn, server):
        server.receive(conn)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.sendall(
            ("HTTP/1.1 200 OK\r\nConnection: close\r\n" + "".join(h + "\r\n" for h in headers) + "\r\n").encode()
        )
        for part in parts:
            time.sleep(delay)
            conn.sendall(part)
        conn.close()

    return handler


def endless(head, piece, limit):
    """Sends `head` then `piece` over and over until the client leaves or `limit` bytes went out."""

    def handler(conn, server):
        server.receive(conn)
        server.send(conn, head)
        while server.sent < limit:
            server.send(conn, piece)
        conn.close()

    return handler


def gzip_bomb_parts(block=1 << 20):
    """A gzip stream's start and a piece that inflates to `block` zero bytes and may be repeated:
    after a full flush the compressor's output for the same input is the same bytes again."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    zeros = bytes(block)
    start = compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH)
    piece = compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH)
    return start, piece


class Connection:
    """A StreamServer's accepted connection."""

    def __init__(self, sock):
        self.sock = sock
        self.client_hung_up = threading.Event()

    def send(self, data, pause=0.0):
        """Writes `data`; returns False once the client has hung up."""
        if pause:
            time.sleep(pause)
        try:
            self.sock.sendall(data)
            return True
        except OSError:
            self.client_hung_up.set()
            return False

    def send_chunk(self, data, pause=0.0):
        return self.send(b"%x\r\n%s\r\n" % (len(data), data), pause)

    def wait_for_hang_up(self, timeout):
        """True when the client closes its end within `timeout` seconds (it sends nothing more)."""
        self.sock.settimeout(timeout)
        try:
            while self.sock.recv(4096):
                pass
            self.client_hung_up.set()
        except TimeoutError:
            pass
        except OSError:
            self.client_hung_up.set()
        return self.client_hung_up.is_set()


class StreamServer:
    """One connection at a time: reads the request (its JSON body kept in `bodies`), then runs
    `handler(Connection)`; `hung_up` notes, per connection, whether the client left first."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=4)
        self.url = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.handler = None
        self.bodies = []
        self.hung_up = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        for sock in accepted(self.listener):
            with sock:
                connection = Connection(sock)
                self.bodies.append(self._read_request(sock))
                try:
                    self.handler(connection)
                finally:
                    self.hung_up.append(connection.client_hung_up.is_set())
                    self.done.set()

    @staticmethod
    def _read_request(sock):
        request = read_request(sock)
        if request is None:
            return None
        body = request.partition(b"\r\n\r\n")[2]
        return json.loads(body) if body else None

    def close(self):
        self.listener.close()


class SilentServer:
    """Accepts connections, counts them, and never answers: every request times out."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0), backlog=16)
        self.port = self.sock.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self.connections = []
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        for conn in accepted(self.sock):
            self.connections.append(conn)

    def close(self):
        self.sock.close()
        for conn in self.connections:
            conn.close()


def free_port():
    """A loopback port on which nothing listens (it was free a moment ago)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def closed_port_url():
    """A loopback URL on which nothing listens: connections are refused."""
    return f"http://127.0.0.1:{free_port()}"


def self_signed_files(directory):
    """A fresh self-signed certificate for 127.0.0.1 and its key: (cert path, key path)."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1".split()
        + ["-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
        check=True,
        capture_output=True,
        timeout=60,
    )
    return cert, key


def self_signed_context(directory):
    """A server TLS context with a fresh self-signed certificate for 127.0.0.1."""
    cert, key = self_signed_files(directory)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


@contextlib.contextmanager
def hypercorn_server(app, folder, cert, key):
    """Serves the ASGI application `app` ("module:attribute", imported from `folder`) with hypercorn
    in a process of its own, on a free loopback port over TLS with `cert` and `key` (HTTP/2 when the
    client offers it). Gives the base URL "https://127.0.0.1:PORT/" once the port accepts connections
    (or after 20 s), and stops the server on leaving."""
    port = free_port()
    server = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "hypercorn",
            "--certfile",
            cert,
            "--keyfile",
            key,
            "-b",
            f"127.0.0.1:{port}",
            app,
        ],
        cwd=folder,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        yield f"https://127.0.0.1:{port}/"
    finally:
        server.terminate()
        server.wait(timeout=10)
