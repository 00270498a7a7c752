"""Loopback servers that misbehave on purpose: resets, stalls, trickles, endless bodies, TLS."""

import resource
import socket
import ssl
import struct
import threading
import time
import zlib

from rawserver import answer, read_request, self_signed_files

read_head = read_request  # a request's head and any Content-Length body; None when the client goes first


def reply(body=b"", status="200 OK", headers=("Content-Type: application/json",)):
    return answer(body, status, headers)


def reset(conn):
    """Closes with a TCP reset instead of an orderly end."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


class Server:
    """Runs `handler(conn, server)` in a thread per accepted connection; counts what it sends."""

    def __init__(self, handler, tls=None, host="127.0.0.1"):
        self.handler = handler
        self.tls = tls
        self.sock = socket.create_server((host, 0))
        self.port = self.sock.getsockname()[1]
        scheme = "https" if tls else "http"
        self.url = f"{scheme}://{host}:{self.port}"
        self.requests = []
        self.sent = 0
        self.gone = threading.Event()  # a handler saw its client disconnect
        self._conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        try:
            if self.tls:
                conn = self.tls.wrap_socket(conn, server_side=True)
            self._conns.append(conn)
            self.handler(conn, self)
        except (OSError, ssl.SSLError):
            self.gone.set()

    def receive(self, conn):
        request = read_head(conn)
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


def answering(body=b"[]", status="200 OK", headers=("Content-Type: application/json",)):
    """A keep-alive handler giving every request the same answer."""

    def handler(conn, server):
        while server.receive(conn) is not None:
            server.send(conn, reply(body, status, headers))

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


def self_signed_context(directory):
    """A server TLS context with a fresh self-signed certificate for 127.0.0.1."""
    cert, key = self_signed_files(directory)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def rss_bytes():
    """This process's resident memory now."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def wait_for(condition, seconds=5.0):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()
