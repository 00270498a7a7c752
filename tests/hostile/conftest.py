"""Fixtures for the hostile tests: misbehaving servers and clients of them (the stand-in: tests/conftest.py)."""

import pytest
from hostile_probes import KEY
from korvane_sdk import KorvaneClient
from rawserver import JSON_HEADERS, keep_alive


@pytest.fixture
def good(raw_server):
    """A well-behaved server: every request gets an empty JSON list."""
    return raw_server(keep_alive(b"[]", headers=JSON_HEADERS))


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
