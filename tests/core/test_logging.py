"""The korvane_sdk logger: a debug line per attempt, a warning before each repeat; key and bodies never."""

import logging
import os
import socket
import subprocess
import sys

import pytest
from korvane_sdk import exceptions as ex

KEY = "sk-log-secret-0000"
SECRET_BODY = "body-text-never-logged"


@pytest.fixture
def client(httpserver, new_client):
    base = httpserver.url_for("").rstrip("/")
    with new_client(api_key=KEY, api_url=base, proxy_url=base) as made:
        made._sleep = lambda seconds: None
        made._random = lambda: 1.0
        yield made


def test_debug_line_per_attempt_and_warning_before_repeat(client, httpserver, caplog):
    httpserver.expect_ordered_request("/api/v1/tenants").respond_with_json({"detail": SECRET_BODY}, status=503)
    httpserver.expect_ordered_request("/api/v1/tenants").respond_with_json({"tenants": []})
    caplog.set_level(logging.DEBUG, logger="korvane_sdk")
    busy = client.with_options(retry_on_busy=True, backoff_base=0.25)
    busy._sleep, busy._random = (lambda seconds: None), (lambda: 1.0)
    assert busy.tenants.list(is_active=True) == []
    records = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "korvane_sdk"]
    url = client.api_url + "/api/v1/tenants"
    assert [level for level, _ in records] == ["DEBUG", "WARNING", "DEBUG"]
    assert records[0][1].startswith(f"GET {url} -> 503 in ") and records[0][1].endswith("(attempt 1 of 3)")
    assert records[1][1] == f"GET {url} failed (HTTP 503); attempt 2 of 3 in 0.25 s"
    assert records[2][1].endswith("(attempt 2 of 3)") and " -> 200 in " in records[2][1]
    text = "\n".join(message for _, message in records)
    assert KEY not in text and SECRET_BODY not in text and "is_active" not in text  # no key, no body, no query


def test_transport_repeats_are_logged(caplog, new_client):
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        base = f"http://127.0.0.1:{closed.getsockname()[1]}"
        caplog.set_level(logging.WARNING, logger="korvane_sdk")
        with new_client(api_key=KEY, api_url=base, max_retries=2) as client, pytest.raises(ex.ConnectionError):
            client.tenants.list()
    warnings = [r.getMessage() for r in caplog.records if r.name == "korvane_sdk"]
    assert warnings == [
        f"GET {base}/api/v1/tenants failed (korvane_sdk.exceptions.ConnectionError); attempt 2 of 2 in 0.00 s"
    ]


def test_quiet_unless_asked(client, httpserver, caplog):
    httpserver.expect_request("/api/v1/tenants").respond_with_json([])
    caplog.set_level(logging.INFO, logger="korvane_sdk")
    client.tenants.list()
    assert [r for r in caplog.records if r.name == "korvane_sdk"] == []


def test_warnings_are_not_printed_by_default():
    # A program that imported logging but configured nothing: the last-resort handler stays silent.
    program = (
        "import logging, socket\n"
        "from korvane_sdk import Korvane\n"
        "s = socket.socket(); s.bind(('127.0.0.1', 0))\n"
        "client = Korvane(api_url='http://127.0.0.1:%d' % s.getsockname()[1], max_retries=2)\n"
        "try:\n    client.tenants.list()\nexcept Exception as error:\n    print(type(error).__name__)\n"
    )
    environment = {k: v for k, v in os.environ.items() if k != "KORVANE_LOG"}
    done = subprocess.run([sys.executable, "-c", program], env=environment, capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "ConnectionError" and done.stderr == ""


def run_program(httpserver, setting, before="", after=""):
    """A program making two calls with KORVANE_LOG=setting: its stderr lines. `before` runs before the
    first call, `after` between the two."""
    httpserver.expect_request("/api/v1/tenants").respond_with_json([])
    program = (
        "import logging\n"
        "from korvane_sdk import Korvane\n"
        f"client = Korvane(api_key={KEY!r}, api_url={httpserver.url_for('').rstrip('/')!r})\n"
        f"{before}\nclient.tenants.list()\n{after}\nclient.tenants.list()\n"
    )
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONWARNINGS"}
    if setting is not None:
        environment["KORVANE_LOG"] = setting
    done = subprocess.run([sys.executable, "-c", program], env=environment, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert KEY not in done.stderr
    return done.stderr.splitlines()


def debug_lines(lines):
    return [line for line in lines if " DEBUG GET " in line]


@pytest.mark.parametrize(
    "setting, lines",
    [("debug", 2), ("DEBUG", 2), (" Debug\n", 2), ("info", 0), ("WARNING", 0), ("", 0), (None, 0)],
)
def test_korvane_log_turns_on_a_stderr_handler(httpserver, setting, lines):
    printed = run_program(httpserver, setting)
    assert len(debug_lines(printed)) == lines and all("korvane_sdk DEBUG GET " in line for line in debug_lines(printed))
    assert not any("KORVANE_LOG" in line for line in printed)  # a known level: no warning


def test_unknown_korvane_log_warns_once(httpserver):
    printed = run_program(httpserver, "verbose")
    warnings = [line for line in printed if "KORVANE_LOG" in line]
    assert len(warnings) == 1 and "RuntimeWarning: KORVANE_LOG=verbose is not a level" in warnings[0]
    assert debug_lines(printed) == []  # and the calls went through (the program ended well)


@pytest.mark.parametrize(
    "before, after",
    [
        ("logging.basicConfig(level=logging.DEBUG)", ""),
        ("", "logging.basicConfig(level=logging.DEBUG)"),  # configured after the first call
        ("logging.getLogger('korvane_sdk').addHandler(logging.StreamHandler())", ""),
    ],
    ids=["before", "after-first-call", "on-the-sdk-logger"],
)
def test_application_handlers_print_each_line_once(httpserver, before, after):
    report = (
        "import sys; print('handlers:', [h.name for h in logging.getLogger('korvane_sdk').handlers], file=sys.stderr)"
    )
    printed = run_program(httpserver, "debug", before, after + "\n" + report)
    calls = [line for line in printed if "/api/v1/tenants -> 200" in line]
    assert len(calls) == 2, printed  # one line per call, from the application's handler or ours
    handlers = next(line for line in printed if line.startswith("handlers:"))
    assert ("korvane_sdk.stderr" in handlers) == (not before)  # none of ours beside the application's


def test_application_without_propagation_still_gets_our_lines(httpserver):
    setup = "logging.basicConfig(); logging.getLogger('korvane_sdk').propagate = False"
    printed = run_program(httpserver, "debug", setup)
    assert len(debug_lines(printed)) == 2 and all("korvane_sdk DEBUG" in line for line in debug_lines(printed))
