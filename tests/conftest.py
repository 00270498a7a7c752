"""Shared fixtures: a clean environment for every test, and the platform stand-in.

The stand-in is korvane_sdk.testing's LocalPlatform (tests/support/emulator.py adds raw calls to it): one
for the whole run, its state, faults and counters cleared before each test that asks for `emulator`.
"""

import pytest
from rawserver import Server
from support.emulator import ADMIN_KEY, JOB_SECONDS, Emulator

KORVANE_VARIABLES = ("KORVANE_API_KEY", "KORVANE_API_URL", "KORVANE_PROXY_URL")


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    """No test sees the developer's own Korvane settings."""
    for name in KORVANE_VARIABLES:
        monkeypatch.delenv(name, raising=False)


def pytest_configure(config):
    config.addinivalue_line("markers", "blocking_only: a case that the async client does not share")


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
def shared_emulator():
    """The run's stand-in; tests take `emulator`, which clears it first."""
    with Emulator(admin_key=ADMIN_KEY, job_seconds=JOB_SECONDS) as emulator:
        yield emulator


@pytest.fixture
def emulator(shared_emulator):
    """The run's stand-in with its state, faults and counters cleared."""
    shared_emulator.reset()
    return shared_emulator


@pytest.fixture
def start_emulator():
    """Starts stand-ins of its own with extra command-line flags; stops them after the test."""
    started = []

    def start(*flags: str) -> Emulator:
        emulator = Emulator(admin_key=ADMIN_KEY, job_seconds=JOB_SECONDS, args=flags)
        started.append(emulator)
        return emulator

    yield start
    for emulator in started:
        emulator.stop()


@pytest.fixture
def client(emulator):
    """A client of the stand-in with the admin key."""
    with emulator.client(timeout=5) as client:
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


@pytest.fixture(params=["blocking", "async"])
def client_kind(request):
    """Cases that take it run against the blocking client and against the async one (through a facade)."""
    if request.param == "async" and request.node.get_closest_marker("blocking_only"):
        pytest.skip("a case of the blocking client only")
    return request.param


@pytest.fixture
def new_client(client_kind):
    """Makes a client of this case's kind: new_client(api_key=..., ...)."""
    from support.facade import make_client  # the async client's module only where a case asks for it

    return lambda *args, **kwargs: make_client(client_kind, *args, **kwargs)


@pytest.fixture
def on_emulator(emulator, new_client):
    """Makes a client of this case's kind for the stand-in; busy pauses take no time."""

    def make(**options):
        settings = {"api_key": ADMIN_KEY, "api_url": emulator.url, "proxy_url": emulator.url, "timeout": 5}
        client = new_client(**(settings | options))
        client._sleep = lambda seconds: None
        return client

    return make
