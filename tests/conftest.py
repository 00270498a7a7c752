"""Shared fixtures: a clean environment for every test, and the platform stand-in.

The stand-in is korvane_sdk.testing's LocalPlatform (tests/standin.py adds raw calls to it): one
for the whole run, its state, faults and counters cleared before each test that asks for `emu`.
"""

import pytest
from rawserver import Server
from standin import ADMIN_KEY, JOB_SECONDS, StandIn

KORVANE_VARIABLES = ("KORVANE_API_KEY", "KORVANE_API_URL", "KORVANE_PROXY_URL")


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    """No test sees the developer's own Korvane settings."""
    for name in KORVANE_VARIABLES:
        monkeypatch.delenv(name, raising=False)


def pytest_report_header(config):
    """Says which build of the extension the run exercises (the sanitized pass must use its own)."""
    import os

    import korvane_sdk._core as core

    if os.environ.get("KORVANE_SANITIZED") and "sanitized-site" not in core.__file__:
        raise pytest.UsageError(f"sanitized pass imported the ordinary build: {core.__file__}")
    if os.environ.get("KORVANE_SANITIZED") and os.environ.get("PYTHONMALLOC") != "malloc":
        # The small-object allocator would hide a use after free of small objects from the sanitizer.
        raise pytest.UsageError("the sanitized pass must run with PYTHONMALLOC=malloc")
    return f"korvane_sdk._core: {core.__file__}"


@pytest.fixture(scope="session")
def platform():
    """The run's stand-in; tests take `emu`, which clears it first."""
    with StandIn(admin_key=ADMIN_KEY, job_seconds=JOB_SECONDS) as stand_in:
        yield stand_in


@pytest.fixture
def emu(platform):
    """The run's stand-in with its state, faults and counters cleared."""
    platform.reset()
    return platform


@pytest.fixture
def start_emulator():
    """Starts stand-ins of its own with extra command-line flags; stops them after the test."""
    started = []

    def start(*flags: str) -> StandIn:
        stand_in = StandIn(admin_key=ADMIN_KEY, job_seconds=JOB_SECONDS, args=flags)
        started.append(stand_in)
        return stand_in

    yield start
    for stand_in in started:
        stand_in.stop()


@pytest.fixture
def client(emu):
    """A client of the stand-in with the admin key."""
    with emu.client(timeout=5) as client:
        yield client


@pytest.fixture
def raw_server():
    """Starts rawserver.Server(handler, **options) servers; stops them after the test."""
    servers = []

    def start(handler, **options):
        server = Server(handler, **options)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()
