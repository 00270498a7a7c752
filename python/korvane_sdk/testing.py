"""Test helpers: the local platform stand-in, korvane-emulator, for your own tests.

As a context manager::

    from korvane_sdk.testing import LocalPlatform

    with LocalPlatform() as platform:
        client = platform.client()
        platform.inject_rate_limit(times=1, retry_after="2")
        ...

As a pytest plugin (registered by the package; nothing starts unless a test asks for a fixture):
``korvane_platform`` is one stand-in for the session, ``korvane_client`` a client of it with the
stand-in's state, faults and counters reset before each test, ``korvane_async_client`` the same as
an ``AsyncKorvane``. ``-p no:korvane_sdk`` turns it off.

The async client's fixture is a plain fixture, so it serves whichever plugin runs the coroutine
tests: pytest-asyncio (``@pytest.mark.asyncio``, or its auto mode) and anyio's plugin
(``@pytest.mark.anyio`` on the asyncio backend, its default) alike. The client binds to the loop of
its first request, the test's own, and is closed after the test.

Record and replay: ``cassette(path, mode)`` records a client's exchanges to a JSON file and plays
them back with no network (see korvane_sdk._cassette for the file). In pytest, the
``korvane_cassette`` fixture is a cassette of the test's own (``cassettes/<module>/<test>.json``
beside the test file, or the file named by ``@pytest.mark.korvane_cassette("name.json")``), in the
mode of ``--record-mode`` (none, once, new_episodes, all; default once: record on the first run,
replay after); ``korvane_recorded_client`` is a client that goes through it (recording from the
platform of KORVANE_API_KEY, else from the stand-in).
"""

from __future__ import annotations

import http.client
import json
import os
import shutil
import subprocess
import sys
import sysconfig
from collections.abc import Iterator, Sequence
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from .aio import AsyncKorvane
    from .client import KorvaneClient
    from .types import ClientOptions

from ._cassette import Cassette, CassetteError, CassetteMismatch, ReplayedResponse, cassette

__all__ = [
    "LocalPlatform",
    "emulator_path",
    "DEFAULT_ADMIN_KEY",
    "Cassette",
    "CassetteError",
    "CassetteMismatch",
    "ReplayedResponse",
    "cassette",
]

DEFAULT_ADMIN_KEY = "sk-korvane-test-admin"
_READY = "korvane-emulator listening on "


def emulator_path() -> str:
    """The korvane-emulator program: $KORVANE_EMULATOR, else the one installed with this package."""
    configured = os.environ.get("KORVANE_EMULATOR")
    if configured:
        return configured
    candidates = [
        # pip install --target puts the program beside the package: that copy is this package's own,
        # even when the interpreter's scripts folder holds another installation's.
        Path(__file__).resolve().parent.parent / "bin" / "korvane-emulator",
        Path(sysconfig.get_path("scripts")) / "korvane-emulator",
        Path(sys.executable).parent / "korvane-emulator",
    ]
    for candidate in candidates:
        if candidate.is_file():
            return str(candidate)
    found = shutil.which("korvane-emulator")
    if found:
        return found
    raise FileNotFoundError("korvane-emulator not found: install korvane_sdk or set KORVANE_EMULATOR")


class LocalPlatform:
    """A running korvane-emulator on a free loopback port, with its control calls."""

    def __init__(
        self,
        *,
        admin_key: str = DEFAULT_ADMIN_KEY,
        job_seconds: float | None = None,
        requests_per_minute: int | None = None,
        tokens_per_minute: int | None = None,
        limit_window_seconds: float | None = None,
        args: Sequence[str] = (),
    ) -> None:
        """Starts the stand-in. The limits are per caller (the admin key, each tenant): past them it
        answers 429 with Retry-After, counted over fixed windows of `limit_window_seconds` (default 60),
        each of which admits its share of the per-minute rate. `reset()` puts them back to these."""
        command = [emulator_path(), "--host", "127.0.0.1", "--port", "0", "--admin-key", admin_key]
        if job_seconds is not None:
            command += ["--job-seconds", str(job_seconds)]
        if requests_per_minute is not None:
            command += ["--requests-per-minute", str(requests_per_minute)]
        if tokens_per_minute is not None:
            command += ["--tokens-per-minute", str(tokens_per_minute)]
        if limit_window_seconds is not None:
            command += ["--limit-window-seconds", repr(float(limit_window_seconds))]
        self.admin_key = admin_key
        self._process = subprocess.Popen(command + list(args), stdout=subprocess.PIPE, text=True)
        assert self._process.stdout is not None  # stdout=PIPE
        line = self._process.stdout.readline().strip()
        if not line.startswith(_READY):
            self._process.kill()
            self._process.wait()
            raise RuntimeError(f"korvane-emulator did not start: {line!r}")
        self.url: str = line[len(_READY) :]
        parts = urlsplit(self.url)
        self._address = (parts.hostname or "127.0.0.1", parts.port or 80)

    # ---- the SDK's side -------------------------------------------------------------------------

    def client(self, **options: Unpack[ClientOptions]) -> KorvaneClient:
        """A client of this stand-in with the admin key; options as for KorvaneClient."""
        from .client import KorvaneClient

        settings: ClientOptions = {"api_key": self.admin_key, "api_url": self.url, "proxy_url": self.url}
        settings.update(options)
        return KorvaneClient(**settings)

    def async_client(self, **options: Unpack[ClientOptions]) -> AsyncKorvane:
        """An asyncio client of this stand-in with the admin key; options as for AsyncKorvane."""
        from .aio import AsyncKorvane

        settings: ClientOptions = {"api_key": self.admin_key, "api_url": self.url, "proxy_url": self.url}
        settings.update(options)
        return AsyncKorvane(**settings)

    # ---- control ---------------------------------------------------------------------------------

    def _control(self, method: str, path: str, body: dict[str, Any] | None = None) -> Any:
        connection = http.client.HTTPConnection(*self._address, timeout=10)
        try:
            headers = {"Authorization": f"Bearer {self.admin_key}", "Content-Type": "application/json"}
            connection.request(method, path, body=None if body is None else json.dumps(body), headers=headers)
            answer = connection.getresponse()
            data = answer.read()
            if answer.status >= 300:
                raise RuntimeError(f"korvane-emulator refused {method} {path}: {answer.status} {data!r}")
            return json.loads(data) if data else None
        finally:
            connection.close()

    def reset(self) -> None:
        """Clears state (tenants, feedback, jobs, datasets), armed faults and counters."""
        self._control("POST", "/_emulator/reset")

    def inject_rate_limit(self, *, times: int = 1, retry_after: str = "1") -> None:
        """The next `times` requests (-1: all) are answered 429 with this Retry-After ("" for none)."""
        self._control("POST", "/_emulator/faults", {"rate_limit": {"times": times, "retry_after": retry_after}})

    def inject_server_error(self, *, times: int = 1, status: int = 503) -> None:
        """The next `times` requests (-1: all) are answered with this 5xx status."""
        self._control("POST", "/_emulator/faults", {"server_error": {"times": times, "status": status}})

    def inject_delay(self, seconds: float, *, times: int = 1) -> None:
        """The next `times` requests (-1: all) wait this long before being answered."""
        self._control("POST", "/_emulator/faults", {"delay": {"times": times, "seconds": seconds}})

    def inject_drop_stream(self, *, after_chunks: int, times: int = 1) -> None:
        """The next `times` streamed chat answers are cut after this many chunks."""
        self._control("POST", "/_emulator/faults", {"drop_stream": {"times": times, "after_chunks": after_chunks}})

    def clear_faults(self) -> None:
        """Disarms every fault."""
        self._control(
            "POST", "/_emulator/faults", {"rate_limit": None, "server_error": None, "delay": None, "drop_stream": None}
        )

    def set_limits(
        self,
        *,
        requests_per_minute: int | None = None,
        tokens_per_minute: int | None = None,
        window_seconds: float | None = None,
    ) -> dict[str, Any]:
        """Sets the rate limits (None: unlimited; `window_seconds` None keeps the window) and answers
        the settings in force, with the share of each window."""
        body: dict[str, Any] = {"requests_per_minute": requests_per_minute, "tokens_per_minute": tokens_per_minute}
        if window_seconds is not None:
            body["window_seconds"] = window_seconds
        result: dict[str, Any] = self._control("POST", "/_emulator/limits", body)
        return result

    def limit_counters(self) -> dict[str, Any]:
        """The limits in force and what they counted since the last reset: ``windows``, one entry per
        caller and window (``window``, ``caller``, ``requests`` and ``tokens`` admitted, ``limited``:
        refused with 429), ``limited`` in all, and ``batch_ids``: requests per X-Korvane-Batch-Id."""
        result: dict[str, Any] = self._control("GET", "/_emulator/limits")
        return result

    def counters(self) -> dict[str, Any]:
        """Platform requests received since the last reset: {"requests": N, "by_path": {path: N}}."""
        result: dict[str, Any] = self._control("GET", "/_emulator/stats")
        return result

    def requests(self, path: str | None = None) -> int:
        """How many platform requests arrived since the last reset (on `path` only, if given)."""
        counters = self.counters()
        return int(counters["requests"] if path is None else counters["by_path"].get(path, 0))

    def traceparents(self, path: str) -> list[str]:
        """The W3C ``traceparent`` headers the latest requests on `path` carried, oldest first (the
        last 16 since the last reset; requests without one are not listed)."""
        result: dict[str, Any] = self._control("GET", "/_emulator/traceparents")
        return list(result["by_path"].get(path, []))

    # ---- life ------------------------------------------------------------------------------------

    def stop(self) -> None:
        """Stops the stand-in (again: nothing)."""
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        if self._process.stdout:
            self._process.stdout.close()

    def __enter__(self) -> LocalPlatform:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"LocalPlatform(url={self.url!r})"


# ---- the pytest plugin: fixtures only, started on first request ---------------------------------

try:
    import pytest
except ImportError:  # a plain context manager needs no pytest
    pass
else:

    @pytest.fixture(scope="session")
    def korvane_platform() -> Iterator[LocalPlatform]:
        """One running stand-in for the test session."""
        with LocalPlatform() as platform:
            yield platform

    @pytest.fixture
    def korvane_client(korvane_platform: LocalPlatform) -> Iterator[KorvaneClient]:
        """A client of the session's stand-in, whose state, faults and counters start empty."""
        korvane_platform.reset()
        with korvane_platform.client() as client:
            yield client

    @pytest.fixture
    def korvane_async_client(korvane_platform: LocalPlatform) -> Iterator[AsyncKorvane]:
        """An AsyncKorvane of the session's stand-in, whose state, faults and counters start empty."""
        korvane_platform.reset()
        client = korvane_platform.async_client()
        yield client
        _close_now(client)

    def pytest_addoption(parser: pytest.Parser) -> None:
        parser.getgroup("korvane_sdk").addoption(
            "--record-mode",
            choices=("none", "once", "new_episodes", "all"),
            default=None,
            help="how korvane_cassette fixtures record: none (replay only), once (record what has no cassette "
            "yet; the default), new_episodes (replay, record the rest), all (record everything again)",
        )

    def pytest_configure(config: pytest.Config) -> None:
        config.addinivalue_line(
            "markers",
            "korvane_cassette(path=None, *, mode=None): the cassette file of the korvane_cassette fixture "
            "(relative to the test file; default cassettes/<module>/<test>.json) and its record mode",
        )

    @pytest.fixture
    def korvane_cassette(request: pytest.FixtureRequest) -> Iterator[Cassette]:
        """A cassette of this test: recorded on the first run, replayed after (see --record-mode)."""
        marker = request.node.get_closest_marker("korvane_cassette")
        name = marker.args[0] if marker and marker.args else marker.kwargs.get("path") if marker else None
        folder = Path(str(request.node.path)).parent
        if name is None:
            test = "".join(c if c.isalnum() or c in "-_." else "_" for c in request.node.name)
            path = folder / "cassettes" / Path(str(request.node.path)).stem / f"{test}.json"
        else:
            path = folder / str(name)
        # The command line is the run's policy (CI replays only), so it wins over the marker.
        mode = request.config.getoption("record_mode") or (marker.kwargs.get("mode") if marker else None) or "once"
        with cassette(path, mode) as tape:
            yield tape

    @pytest.fixture
    def korvane_recorded_client(korvane_cassette: Cassette, request: pytest.FixtureRequest) -> Iterator[KorvaneClient]:
        """A client whose exchanges go to the test's cassette. Replaying, it sends nothing (no key or
        server needed). Recording, it talks to the platform of KORVANE_API_KEY (and the URL
        variables) when that is set, else to the session's stand-in, reset first."""
        if korvane_cassette.recording and not os.environ.get("KORVANE_API_KEY"):
            platform: LocalPlatform = request.getfixturevalue("korvane_platform")
            platform.reset()
            client = korvane_cassette.attach(platform.client())
        else:
            client = korvane_cassette.client()
        with client:
            yield client

    def _close_now(client: AsyncKorvane) -> None:
        # Teardown runs outside the test's event loop (which may be closed by now): the session's
        # close does its work at the call, so the awaitable it returns is dropped unawaited.
        done = client._session.close()
        close = getattr(done, "close", None)
        if close is not None:
            close()
