"""Fixtures for the loop-driven transport: the blocking layer's fixtures, and `session` as a
blocking face over AsyncSession so the blocking wire tests run against it unchanged."""

import importlib.util
import os
import sys

import pytest

HTTP_TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "http")
sys.path.insert(0, HTTP_TESTS)

from facade import SyncOverAsync  # noqa: E402


def _wire_fixtures():
    spec = importlib.util.spec_from_file_location("http_wire_fixtures", os.path.join(HTTP_TESTS, "conftest.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# Every fixture of the blocking wire tests but their `session`: ours is below.
globals().update(
    {
        name: value
        for name, value in vars(_wire_fixtures()).items()
        if name != "session"
        and type(value).__name__ in ("FixtureFunctionDefinition", "function")
        and (hasattr(value, "_pytestfixturefunction") or type(value).__name__ == "FixtureFunctionDefinition")
    }
)


@pytest.fixture
def session():
    s = SyncOverAsync()
    yield s
    s.close()
