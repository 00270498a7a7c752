"""Fixtures that run korvane-emulator on a free loopback port."""

from __future__ import annotations

import uuid

import pytest
from emulator_process import ADMIN_KEY, JOB_SECONDS, Emulator, Reply, emulator_binary  # noqa: F401


@pytest.fixture(scope="session")
def emulator_path() -> str:
    return emulator_binary()


@pytest.fixture(scope="session")
def _shared_emulator():
    emulator = Emulator("--job-seconds", str(JOB_SECONDS))
    yield emulator
    emulator.stop()


@pytest.fixture
def emu(_shared_emulator) -> Emulator:
    """The shared emulator, with state, faults and statistics cleared."""
    _shared_emulator.ok("POST", "/_emulator/reset")
    return _shared_emulator


@pytest.fixture
def start_emulator():
    """Starts emulators with extra flags; stops them after the test."""
    started: list[Emulator] = []

    def start(*flags: str, env: dict | None = None) -> Emulator:
        emulator = Emulator(*flags, env=env)
        started.append(emulator)
        return emulator

    yield start
    for emulator in started:
        emulator.stop()


@pytest.fixture
def tenant(emu):
    """A fresh tenant (its answer includes its api_key)."""
    return emu.ok("POST", "/api/v1/tenants", {"name": f"Tenant {uuid.uuid4().hex[:8]}"})
