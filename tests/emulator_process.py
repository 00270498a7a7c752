"""Runs korvane-emulator, the local stand-in for the platform, for the tests.

The binary is taken from $KORVANE_EMULATOR, else from the bin/ folder of a
PYTHONPATH entry (where `pip install --target` puts it, as the sanitized test
pass does), else from next to the running interpreter (where pip installs it),
else from PATH.
"""

from __future__ import annotations

import http.client
import json
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import urlencode, urlsplit

import pytest

ADMIN_KEY = "sk-korvane-admin"
JOB_SECONDS = 0.5


def emulator_binary() -> str:
    configured = os.environ.get("KORVANE_EMULATOR")
    if configured:
        if not Path(configured).is_file():
            pytest.fail(f"KORVANE_EMULATOR={configured} does not exist", pytrace=False)
        return configured
    for entry in filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep)):
        installed = Path(entry) / "bin" / "korvane-emulator"
        if installed.is_file():
            return str(installed)
    beside = Path(sys.executable).parent / "korvane-emulator"
    if beside.is_file():
        return str(beside)
    found = shutil.which("korvane-emulator")
    if found:
        return found
    pytest.fail(
        "korvane-emulator not found: build it and set KORVANE_EMULATOR, or install the package",
        pytrace=False,
    )


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


class Emulator:
    """A running emulator process plus a small HTTP helper."""

    def __init__(self, *flags: str, env: dict | None = None):
        self.process = subprocess.Popen(
            [emulator_binary(), "--port", "0", *flags],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        self.first_line = self.process.stdout.readline().rstrip("\n")
        prefix = "korvane-emulator listening on "
        if not self.first_line.startswith(prefix):
            self.process.kill()
            raise RuntimeError(f"emulator did not start: {self.first_line!r} {self.process.stderr.read()!r}")
        self.url = self.first_line[len(prefix) :]
        parts = urlsplit(self.url)
        self.host, self.port = parts.hostname, parts.port

    def connection(self, timeout: float = 5.0) -> http.client.HTTPConnection:
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def call(
        self,
        method: str,
        path: str,
        body=None,
        *,
        key: str | None = ADMIN_KEY,
        query=None,
        headers: dict | None = None,
        raw: bytes | None = None,
        conn=None,
    ) -> Reply:
        """One request; `body` is sent as JSON, `raw` as given."""
        all_headers = {"Content-Type": "application/json"}
        if key is not None:
            all_headers["Authorization"] = f"Bearer {key}"
        all_headers.update(headers or {})
        if query:
            path += "?" + urlencode(query, doseq=True)
        payload = raw if raw is not None else (None if body is None else json.dumps(body).encode())
        own = conn is None
        conn = conn or self.connection()
        try:
            conn.request(method, path, body=payload, headers=all_headers)
            response = conn.getresponse()
            return Reply(response.status, response.headers, response.read())
        finally:
            if own:
                conn.close()

    def ok(self, method: str, path: str, body=None, **kwargs):
        reply = self.call(method, path, body, **kwargs)
        assert reply.status < 300, (reply.status, reply.body)
        return reply.json()

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.terminate()
        try:
            return self.process.wait(timeout=10)
        finally:
            self.process.stdout.close()
            self.process.stderr.close()


def requests_seen(emu: Emulator, path: str | None = None) -> int:
    """Platform requests the emulator received since its last reset (on one path, if given)."""
    stats = emu.ok("GET", "/_emulator/stats")
    return stats["requests"] if path is None else stats["by_path"].get(path, 0)
