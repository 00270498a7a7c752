"""A loopback HTTP/1.1 server that answers each request only when told to, and notices when the
client closes the connection: for ordering an answer against what the client's loop does."""

import socket
import threading

from rawserver import read_request


class HeldServer:
    def __init__(self, answer):
        self.answer = answer
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.requested = threading.Event()  # a whole request is in
        self.go = threading.Event()  # answer it now
        self.answered = threading.Event()
        self.hung_up = threading.Event()  # the client closed the connection after the answer
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        conn, _ = self.listener.accept()
        with conn:
            read_request(conn)
            self.requested.set()
            self.go.wait(10)
            conn.sendall(self.answer)
            self.answered.set()
            conn.settimeout(10)
            try:
                while conn.recv(65536):
                    pass
                self.hung_up.set()
            except TimeoutError:
                pass
            except OSError:
                self.hung_up.set()

    def close(self):
        self.go.set()
        self.listener.close()
