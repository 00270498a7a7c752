"""The SDK against the stand-in (fixtures `emu` and `client` in tests/conftest.py)."""

import pytest


@pytest.fixture
def faults(emu):
    """Arms the stand-in's faults for the next requests."""

    def arm(**settings):
        emu.ok("POST", "/_emulator/faults", settings)

    return arm
