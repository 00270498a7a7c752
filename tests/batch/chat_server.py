"""A loopback chat-completions server for batch tests: counts requests per batch id, notes when
each arrived, and answers some with scripted failures (429 with Retry-After, 5xx, 400)."""

import collections
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BATCH_ID = "X-Korvane-Batch-Id"


class ChatServer:
    def __init__(self, *, delay=0.0, usage_tokens=None):
        self.delay = delay
        self.usage_tokens = usage_tokens  # total_tokens answered (None: 12)
        self.script = {}  # batch id -> statuses to answer before the completion
        self.rate_limit_first = 0  # the first N requests: 429
        self.retry_after = "1"
        self.refuse_key = False  # every request: 401
        self.lock = threading.Lock()
        self.counts = collections.Counter()
        self.arrivals = []  # (monotonic time, batch id, estimated weight)
        self.limited_at = []  # monotonic times the 429 answers were sent at
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))) or b"{}")
                batch_id = self.headers.get(BATCH_ID)  # read as Latin-1 by http.server; sent as UTF-8
                batch_id = batch_id.encode("latin-1").decode("utf-8") if batch_id is not None else None
                status, payload, headers = server.answer(batch_id, body)
                data = json.dumps(payload).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                for name, value in headers:
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(data)

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.httpd.handle_error = lambda request, address: None  # a cancelled request hangs up: expected
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def answer(self, batch_id, body):
        with self.lock:
            self.counts[batch_id] += 1
            self.arrivals.append((time.monotonic(), batch_id, body))
            if self.rate_limit_first > 0:
                self.rate_limit_first -= 1
                self.limited_at.append(time.monotonic())  # before it is sent: no client has it yet
                headers = [("Retry-After", self.retry_after)] if self.retry_after else []
                return 429, {"detail": "slow down"}, headers
            if self.refuse_key:
                return 401, {"detail": "Invalid API key"}, []
            scripted = self.script.get(batch_id)
            status = scripted.pop(0) if scripted else 200
        if self.delay:
            time.sleep(self.delay)
        if body.get("model") == "refused":
            return 400, {"detail": "no such model"}, []
        if status != 200:
            return status, {"detail": f"busy ({status})"}, []
        text = " ".join(m.get("content", "") for m in body.get("messages", []))
        total = 12 if self.usage_tokens is None else self.usage_tokens
        return (
            200,
            {
                "id": f"cmpl-{batch_id}",
                "object": "chat.completion",
                "created": 1700000000,
                "model": body.get("model"),
                "choices": [
                    {"index": 0, "message": {"role": "assistant", "content": f"echo {text}"}, "finish_reason": "stop"}
                ],
                "usage": {"prompt_tokens": total // 2, "completion_tokens": total - total // 2, "total_tokens": total},
            },
            [],
        )

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def requests_of(count, *, prefix="r", **body):
    """count requests with ids r0, r1, ...; their body: a one-message chat plus `body`."""
    return [
        {"id": f"{prefix}{i}", "body": {"model": "m", "messages": [{"role": "user", "content": f"q{i}"}], **body}}
        for i in range(count)
    ]
