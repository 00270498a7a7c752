"""The platform stand-in as our tests run it: korvane_sdk.testing's LocalPlatform, as users get it,
plus raw HTTP calls for the tests of the stand-in itself. The fixtures are in tests/conftest.py.
"""

from __future__ import annotations

import contextlib
import http.client
import json
import subprocess
from dataclasses import dataclass
from urllib.parse import urlencode, urlsplit

from korvane_sdk.testing import LocalPlatform, emulator_path

# The stand-in's built-in admin key, which raw requests in the tests spell out.
ADMIN_KEY = "sk-korvane-admin"
# Training jobs finish this fast on the stand-ins the fixtures start.
JOB_SECONDS = 0.5


@dataclass
class Reply:
    status: int
    headers: http.client.HTTPMessage
    body: bytes

    def json(self):
        return json.loads(self.body)

    @property
    def text(self) -> str:
        return self.body.decode()


class Emulator(LocalPlatform):
    """A running stand-in with calls that bypass the SDK: any method, path, key, header or body."""

    @property
    def host(self) -> str:
        return urlsplit(self.url).hostname

    @property
    def port(self) -> int:
        return urlsplit(self.url).port

    @property
    def process(self) -> subprocess.Popen:
        return self._process

    def connection(self, timeout: float = 5.0) -> http.client.HTTPConnection:
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def call(self, method: str, path: str, body=None, *, conn=None, **options) -> Reply:
        """One request; options as for call()."""
        return call(conn or self.connection(), method, path, body, close=conn is None, **options)

    def ok(self, method: str, path: str, body=None, **kwargs):
        reply = self.call(method, path, body, **kwargs)
        assert reply.status < 300, (reply.status, reply.body)
        return reply.json()


def call(
    conn: http.client.HTTPConnection,
    method: str,
    path: str,
    body=None,
    *,
    key: str | None = ADMIN_KEY,
    query=None,
    headers: dict | None = None,
    raw: bytes | None = None,
    close: bool = True,
) -> Reply:
    """One request on `conn`; `body` is sent as JSON, `raw` as given; `key=None` sends no Authorization."""
    all_headers = {"Content-Type": "application/json"}
    if key is not None:
        all_headers["Authorization"] = f"Bearer {key}"
    all_headers.update(headers or {})
    if query:
        path += "?" + urlencode(query, doseq=True)
    payload = raw if raw is not None else (None if body is None else json.dumps(body).encode())
    try:
        conn.request(method, path, body=payload, headers=all_headers)
        response = conn.getresponse()
        return Reply(response.status, response.headers, response.read())
    finally:
        if close:
            conn.close()


@contextlib.contextmanager
def launched(*args: str, env: dict | None = None):
    """The stand-in's program run with just these arguments (and a free port), for the tests of its
    command line: yields (process, first line of its output); stopped on leaving."""
    process = subprocess.Popen(
        [emulator_path(), "--port", "0", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env
    )
    try:
        yield process, process.stdout.readline().rstrip("\n")
    finally:
        if process.poll() is None:
            process.terminate()
        process.wait(timeout=10)
        process.stdout.close()
        process.stderr.close()
