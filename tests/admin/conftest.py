"""Fixtures for the administration namespaces: a client whose _request records its calls."""

import pytest

import korvane_sdk._core as core
from korvane_sdk import KorvaneClient

from admin_stand_in_records import STAND_INS


class Recorder:
    """Stands in for KorvaneClient._request: takes keywords only, records them, answers `answer`
    (called with the keywords when it is callable)."""

    def __init__(self):
        self.calls = []
        self.answer = None

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        return self.answer(**kwargs) if callable(self.answer) else self.answer


@pytest.fixture(autouse=True)
def records(monkeypatch):
    """The record classes; simple stand-ins while the record engine is not built in."""
    for name, cls in STAND_INS.items():
        if not hasattr(core, name):
            monkeypatch.setattr(core, name, cls, raising=False)


@pytest.fixture
def client():
    with KorvaneClient(api_key="sk-test") as built:
        yield built


@pytest.fixture
def recorder(client):
    """Replaces the client's _request on the instance, the seam every namespace goes through."""
    fake = Recorder()
    client._request = fake
    return fake
