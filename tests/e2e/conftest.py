"""The SDK against the stand-in (fixtures `emulator` and `client` in tests/conftest.py)."""

import pytest
from support.emulator import ADMIN_KEY


@pytest.fixture
def client(emulator, new_client):
    """A client of the stand-in with the admin key: each case runs with the blocking and the async client."""
    with new_client(api_key=ADMIN_KEY, api_url=emulator.url, proxy_url=emulator.url, timeout=5) as c:
        yield c


@pytest.fixture
def faults(emulator):
    """Arms the stand-in's faults for the next requests."""

    def arm(**settings):
        emulator.ok("POST", "/_emulator/faults", settings)

    return arm
