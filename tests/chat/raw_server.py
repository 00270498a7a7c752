"""A one-connection-at-a-time HTTP server on a raw socket, for answers written in awkward pieces.

Each test gives a handler that writes to the connection after the request has been read; the
server notes whether the client hung up before the handler finished (the client released the
connection without reading the rest).
"""

import json
import socket
import threading
import time

from rawserver import read_request


class Connection:
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


class RawServer:
    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.url = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.handler = None
        self.bodies = []
        self.hung_up = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
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


STREAM_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
