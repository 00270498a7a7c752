"""Fixtures for the administration namespaces: a client whose _request records its calls."""

import pytest
from korvane_sdk import KorvaneClient


class Recorder:
    """Stands in for KorvaneClient._request: takes keywords only, records them, answers `answer`
    (called with the keywords when it is callable)."""

    def __init__(self):
        self.calls = []
        self.answer = None

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        return self.answer(**kwargs) if callable(self.answer) else self.answer


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
