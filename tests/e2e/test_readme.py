"""Every Python block of README.md runs as written against the stand-in, in order.

Plain blocks share one namespace (a block may use what an earlier one defined), with the
environment the README's opening sets: both URLs at the stand-in and its admin key. A block of
`>>>` lines is checked as a doctest; a block that defines pytest tests runs as a test file of its
own, through the package's pytest plugin, as a user's would (skipped when the plugin it marks its
tests for is not installed). A block that sets a global OpenTelemetry provider runs as a program of
its own: a process sets that provider once, and it would stay on for every test after it.
"""

import doctest
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from korvane_sdk.client import KorvaneClient

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
# The plugin a block's tests are marked for, by the module that provides it.
PLUGIN_MARKS = {"pytest.mark.asyncio": "pytest_asyncio", "pytest.mark.anyio": "anyio"}
# The engines of the optional extras: a block that imports one runs only where it is installed.
OPTIONAL_MODULES = ("ray", "distributed", "opentelemetry.sdk")


def installed(module):
    try:
        return importlib.util.find_spec(module) is not None
    except ModuleNotFoundError:  # a submodule's package is missing: find_spec imports it first
        return False


def missing_engine(code):
    for module in OPTIONAL_MODULES:
        imported = re.search(rf"^(import|from) {re.escape(module)}\b", code, re.MULTILINE)
        if imported and not installed(module):
            return module
    return None


def python_blocks():
    """(first line number, code) of each ```python block."""
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1)) for match in BLOCK.finditer(text)]


def is_test_file(code):
    return re.search(r"^(async )?def test_", code, re.MULTILINE) is not None


def sets_global_provider(code):
    return re.search(r"\bset_(tracer|meter)_provider\(", code) is not None


def run_program(code, line):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"README.md:{line}\n{done.stdout}\n{done.stderr}"
    assert done.stdout, f"README.md:{line} printed nothing"


def run_doctest(code, line, namespace):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(code, namespace, f"README.md:{line}", str(README), line - 1)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0, f"the >>> block at README.md:{line} does not print what it shows"


def run_test_file(code, line, folder):
    missing = [module for mark, module in PLUGIN_MARKS.items() if mark in code and not importlib.util.find_spec(module)]
    if missing:
        return f"README.md:{line} needs {missing[0]}"
    path = folder / f"test_readme_{line}.py"
    path.write_text(code, encoding="utf-8")
    environment = {k: v for k, v in os.environ.items() if not k.startswith("KORVANE_API")}
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", path.name],
        cwd=folder,
        env=environment,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, f"README.md:{line}\n{done.stdout}\n{done.stderr}"
    assert re.search(r"\b\d+ passed\b", done.stdout) and " skipped" not in done.stdout, done.stdout
    return None


def test_every_python_block_runs(emulator, monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("KORVANE_API_URL", emulator.url)
    monkeypatch.setenv("KORVANE_PROXY_URL", emulator.url)
    monkeypatch.setenv("KORVANE_API_KEY", emulator.admin_key)
    monkeypatch.chdir(tmp_path)  # files a block writes stay in the test's folder
    blocks = python_blocks()
    assert len(blocks) > 10
    namespace = {"__name__": "readme"}
    skipped = []
    try:
        for line, code in blocks:
            if code.lstrip().startswith(">>>"):
                run_doctest(code, line, namespace)
            elif is_test_file(code):
                reason = run_test_file(code, line, tmp_path)
                if reason:
                    skipped.append(reason)
            elif missing := missing_engine(code):
                skipped.append(f"README.md:{line} needs {missing}")
            elif sets_global_provider(code):
                run_program(code, line)
            else:
                # Blank lines first, so a traceback names the README's own line numbers.
                exec(compile("\n" * (line - 1) + code, str(README), "exec"), namespace)
    finally:
        for value in list(namespace.values()):
            if isinstance(value, KorvaneClient):
                value.close()
    printed = capsys.readouterr().out
    assert "Echo: Hello!" in printed and "Echo: Hi" in printed  # the opening's first calls answered
    if skipped:
        pytest.skip("; ".join(skipped))
