"""Shared fixtures: a clean environment for every test."""

import pytest

KORVANE_VARIABLES = ("KORVANE_API_KEY", "KORVANE_API_URL", "KORVANE_PROXY_URL")


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    """No test sees the developer's own Korvane settings."""
    for name in KORVANE_VARIABLES:
        monkeypatch.delenv(name, raising=False)
