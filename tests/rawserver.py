"""Raw-socket loopback servers for the awkward wire cases: split lines, stalls, resets, connection
counting."""

import os
import socket
import subprocess
import threading
import time


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


class RawServer:
    """A loopback TCP server; each accepted connection runs `handler(conn, server)` in a thread."""

    def __init__(self, handler):
        self.handler = handler
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self.connections = 0
        self.requests = []
        self.closed = threading.Event()  # set when a handler saw its client go away
        self._conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            self._conns.append(conn)
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        try:
            self.handler(conn, self)
        except OSError:
            pass

    def receive(self, conn):
        request = read_request(conn)
        if request is not None:
            self.requests.append(request)
        return request

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
            conn.sendall(answer(body, status, headers))

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


class SilentServer:
    """Accepts connections, counts them, and never answers: every request times out."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self.connections = []
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections.append(conn)

    def close(self):
        self.sock.close()
        for conn in self.connections:
            conn.close()


def closed_port_url():
    """A loopback URL on which nothing listens: connections are refused."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return f"http://127.0.0.1:{port}"


def self_signed_files(directory):
    """A fresh self-signed certificate for 127.0.0.1 and its key: (cert path, key path)."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(
        [
            "openssl",
            "req",
            "-x509",
            "-newkey",
            "rsa:2048",
            "-nodes",
            "-days",
            "1",
            "-subj",
            "/CN=127.0.0.1",
            "-addext",
            "subjectAltName=IP:127.0.0.1",
            "-keyout",
            key,
            "-out",
            cert,
        ],
        check=True,
        capture_output=True,
        timeout=60,
    )
    return cert, key
