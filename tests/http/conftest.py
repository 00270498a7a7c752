"""Fixtures for the HTTP layer's wire tests."""

import pytest

from korvane_sdk.http import Session

from rawserver import RawServer


@pytest.fixture
def raw_server():
    servers = []

    def start(handler):
        server = RawServer(handler)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def session():
    s = Session()
    yield s
    s.close()
