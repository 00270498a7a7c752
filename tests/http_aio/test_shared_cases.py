"""The blocking Session's wire tests, run against AsyncSession through a blocking face: every
case of tests/http that takes the `session` fixture (same server, same assertions)."""

import importlib
import inspect

SHARED_MODULES = [
    "test_failures",
    "test_answer_faults",
    "test_redirects",
    "test_responses",
    "test_sending",
    "test_trust",
    "test_uploads",
    "test_environment",
]


def _collect():
    shared = {}
    for name in SHARED_MODULES:
        module = importlib.import_module(name)
        for attribute, value in vars(module).items():
            if attribute.startswith("test_") and callable(value):
                if "session" in inspect.signature(value).parameters:
                    shared[f"{attribute}__{name[5:]}"] = value
                    # the module's own fixtures (h2_url, ...) stay reachable
                    for fixture_name, fixture in vars(module).items():
                        if fixture_name == "session":
                            continue  # ours (conftest.py) is the one under test
                        if (
                            hasattr(fixture, "_pytestfixturefunction")
                            or type(fixture).__name__ == "FixtureFunctionDefinition"
                        ):
                            shared.setdefault(fixture_name, fixture)
    return shared


globals().update(_collect())
