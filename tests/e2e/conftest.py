"""The SDK against the stand-in (fixtures `emu` and `client` in tests/conftest.py)."""

import pytest
from standin import ADMIN_KEY


@pytest.fixture
def client(emu, new_client):
    """A client of the stand-in with the admin key: each case runs with the blocking and the async client."""
    with new_client(api_key=ADMIN_KEY, api_url=emu.url, proxy_url=emu.url, timeout=5) as c:
        yield c


@pytest.fixture
def faults(emu):
    """Arms the stand-in's faults for the next requests."""

    def arm(**settings):
        emu.ok("POST", "/_emulator/faults", settings)

    return arm
