"""The stand-in itself, through raw HTTP (fixtures `emulator` and `start_emulator` in tests/conftest.py)."""

from __future__ import annotations

import uuid

import pytest
from korvane_sdk.testing import emulator_path as find_emulator


@pytest.fixture(scope="session")
def emulator_path() -> str:
    return find_emulator()


@pytest.fixture
def tenant(emulator):
    """A fresh tenant (its answer includes its api_key)."""
    return emulator.ok("POST", "/api/v1/tenants", {"name": f"Tenant {uuid.uuid4().hex[:8]}"})
