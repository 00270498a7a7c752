"""Fixtures of the chat tests: a client whose request seams are recorded, and one on the wire."""

import pytest

from chat_fakes import Seams
from korvane_sdk import KorvaneClient
from support.facade import client_kinds, make_client


@pytest.fixture(params=client_kinds())
def client(request):
    """Each case runs against the blocking client and against the async one (through a facade)."""
    if request.param == "async" and request.node.get_closest_marker("blocking_only"):
        pytest.skip("a case of the blocking client only")
    return make_client(request.param, api_key="sk-test")


@pytest.fixture
def seams(client):
    return Seams(client)


@pytest.fixture
def wire_client(httpserver):
    """A client whose proxy host is the local test server."""
    with KorvaneClient(api_key="sk-test", proxy_url=httpserver.url_for("/").rstrip("/")) as local:
        yield local
