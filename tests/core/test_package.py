"""The package's names: each reachable from the top level, while importing one part loads only that part."""

import subprocess
import sys

import korvane_sdk
import pytest

SUBMODULES = ["client", "chat", "tenants", "feedback", "training", "exceptions", "models", "http"]


def run_python(code):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("name", [n for n in korvane_sdk.__all__ if n != "__version__"])
def test_every_exported_name_is_the_object_of_its_own_module(name):
    value = getattr(korvane_sdk, name)
    module = sys.modules[value.__module__]
    assert getattr(module, name) is value
    assert name in dir(korvane_sdk)


@pytest.mark.parametrize("name", SUBMODULES)
def test_submodules_are_attributes_of_the_package(name):
    assert getattr(korvane_sdk, name) is sys.modules[f"korvane_sdk.{name}"]


@pytest.mark.parametrize("name", ["nothing", "_core_", "Session", "__path_"])
def test_unknown_names_raise_attribute_error(name):
    with pytest.raises(AttributeError, match=name):
        getattr(korvane_sdk, name)
    assert not hasattr(korvane_sdk, name)


def test_star_import_gives_every_listed_name():
    out = run_python(
        "from korvane_sdk import *\n"
        "import korvane_sdk\n"
        "missing = [n for n in korvane_sdk.__all__ if n not in globals()]\n"
        "print(missing, KorvaneClient.__module__, Tenant.__module__, __version__)"
    )
    assert out.split() == ["[]", "korvane_sdk.client", "korvane_sdk.models", "1.0.0"]


@pytest.mark.parametrize(
    "statement, loaded",
    [
        ("import korvane_sdk", []),
        ("import korvane_sdk.models", ["_core", "models"]),
        ("from korvane_sdk import Tenant", ["_core", "models"]),
        ("from korvane_sdk import KorvaneClient", ["_core", "client"]),
        ("import korvane_sdk.exceptions", ["_core", "exceptions"]),
    ],
)
def test_importing_one_part_loads_only_that_part(statement, loaded):
    out = run_python(f"{statement}\nimport sys\nprint(sorted(m for m in sys.modules if m.startswith('korvane_sdk.')))")
    assert out.strip() == str([f"korvane_sdk.{name}" for name in loaded])


def test_pickled_records_and_errors_load_in_a_fresh_interpreter():
    import pickle

    from korvane_sdk.exceptions import RateLimitError
    from korvane_sdk.models import Tenant

    record = Tenant(id="t1", name="Acme", slug="acme", created_at="2024-01-02T03:04:05Z")
    error = RateLimitError(retry_after=3)
    data = pickle.dumps((record, error))
    out = run_python(
        "import pickle, sys\n"
        f"record, error = pickle.loads({data!r})\n"
        "print(type(record).__qualname__, record.id, type(error).__name__, error.retry_after)"
    )
    assert out.split() == ["Tenant", "t1", "RateLimitError", "3"]
