"""Fixtures of the chat tests: a client whose request seams are recorded, and one on the wire."""

import pytest
from chat_fakes import Seams
from korvane_sdk import KorvaneClient


@pytest.fixture
def client():
    return KorvaneClient(api_key="sk-test")


@pytest.fixture
def seams(client):
    return Seams(client)


@pytest.fixture
def wire_client(httpserver):
    """A client whose proxy host is the local test server."""
    with KorvaneClient(api_key="sk-test", proxy_url=httpserver.url_for("/").rstrip("/")) as local:
        yield local
