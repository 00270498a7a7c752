"""The SDK against korvane-emulator: one emulator for the folder, state cleared per test."""

import pytest
from emulator_process import ADMIN_KEY, JOB_SECONDS, Emulator
from korvane_sdk import KorvaneClient


@pytest.fixture(scope="session")
def platform():
    emulator = Emulator("--job-seconds", str(JOB_SECONDS))
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


@pytest.fixture
def faults(emu):
    """Arms the emulator's faults for the next requests."""

    def arm(**settings):
        emu.ok("POST", "/_emulator/faults", settings)

    return arm
