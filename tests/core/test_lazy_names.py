"""Parts of the compiled core built on first use: the same classes whichever way they are first reached."""

import subprocess
import sys

import pytest
from rawserver import closed_port_url


def run_python(code):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_loading_the_records_builds_nothing_else():
    out = run_python(
        "import korvane_sdk.models, korvane_sdk._core as core\n"
        "names = vars(core)\n"
        "print(*(n in names for n in ('Tenant', 'Session', 'KorvaneClient', 'KorvaneError', 'RequestException')))"
    )
    assert out == ["True", "False", "False", "False", "False"]


@pytest.mark.parametrize(
    "first_use",
    [
        # The core raises before Python has asked for any exception class.
        "from korvane_sdk._core import KorvaneClient\n"
        "client = KorvaneClient(api_key='k', api_url=URL, proxy_url=URL, max_retries=1)\n"
        "try:\n    client.tenants.list()\nexcept Exception as e:\n    error = e\n",
        "from korvane_sdk.http import Session\n"
        "try:\n    Session().request('GET', URL + '/', timeout=1)\nexcept Exception as e:\n    error = e\n",
    ],
    ids=["sdk-error", "transport-error"],
)
def test_an_error_raised_first_by_the_core_is_the_exported_class(first_use):
    out = run_python(
        f"URL = {closed_port_url()!r}\n"
        + first_use
        + "import korvane_sdk.exceptions as ex, korvane_sdk.http as http, korvane_sdk._core as core\n"
        "named_here = type(error).__module__ == 'korvane_sdk.exceptions'\n"
        "expected = ex.ConnectionError if named_here else http.ConnectionError\n"
        "print(type(error) is expected, isinstance(error, (ex.KorvaneError, http.RequestException)),\n"
        "      core.HTTPConnectionError is http.ConnectionError, core.ConnectionError is ex.ConnectionError)"
    )
    assert out == ["True", "True", "True", "True"]


def test_threads_reaching_for_the_core_at_once_get_the_same_classes():
    out = run_python(
        "import threading, korvane_sdk._core as core\n"
        "names = ['KorvaneClient', 'RateLimitError', 'ReadTimeout', 'Session', 'TrainingManager'] * 4\n"
        "seen, barrier = [], threading.Barrier(len(names))\n"
        "def look(name):\n"
        "    barrier.wait()\n"
        "    seen.append((name, getattr(core, name)))\n"
        "threads = [threading.Thread(target=look, args=(n,)) for n in names]\n"
        "for t in threads: t.start()\n"
        "for t in threads: t.join()\n"
        "print(len(seen), all(value is getattr(core, name) for name, value in seen))"
    )
    assert out == ["20", "True"]


@pytest.mark.parametrize("name", ["__path__", "__wrapped__", "missing", "Sessions"])
def test_names_the_core_does_not_have(name):
    out = run_python(f"import korvane_sdk._core as core\nprint(hasattr(core, {name!r}), 'Session' in vars(core))")
    # Asking for a dunder name (as the import system does) binds nothing; any other unknown name
    # first binds the deferred parts, which still do not have it.
    assert out == ["False", str(not name.startswith("__"))]
