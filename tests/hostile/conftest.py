"""Fixtures for the hostile tests: misbehaving servers, the emulator, a client on each."""

import os

import pytest
from emulator_process import ADMIN_KEY, Emulator
from hostile_servers import Server, answering
from korvane_sdk import KorvaneClient

KEY = "sk-hostile-secret-0123456789"
SANITIZED = bool(os.environ.get("KORVANE_SANITIZED"))


@pytest.fixture
def serve():
    servers = []

    def start(handler, **options):
        server = Server(handler, **options)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def good(serve):
    """A well-behaved server: every request gets an empty JSON list."""
    return serve(answering())


@pytest.fixture
def client_for():
    clients = []

    def make(url, **options):
        options.setdefault("timeout", 0.5)
        options.setdefault("max_retries", 1)
        client = KorvaneClient(api_key=KEY, api_url=url, proxy_url=url, **options)
        clients.append(client)
        return client

    yield make
    for client in clients:
        client.close()


@pytest.fixture(scope="session")
def platform():
    emulator = Emulator()
    yield emulator
    emulator.stop()


@pytest.fixture
def emu(platform):
    platform.ok("POST", "/_emulator/reset")
    return platform


@pytest.fixture
def client(emu):
    with KorvaneClient(api_key=ADMIN_KEY, api_url=emu.url, proxy_url=emu.url, timeout=5) as c:
        yield c
