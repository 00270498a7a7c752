"""The executable: first output line, --help, usage errors and clean shutdown."""

import json
import re
import signal
import socket
import subprocess

import pytest
from support.emulator import launched


def test_first_line_names_the_address():
    with launched() as (_, first_line):
        assert re.fullmatch(r"korvane-emulator listening on http://127\.0\.0\.1:[1-9]\d*", first_line)


def test_help_lists_every_flag(emulator_path):
    done = subprocess.run([emulator_path, "--help"], capture_output=True, text=True, timeout=10)
    assert done.returncode == 0
    for flag in (
        "--host",
        "--port",
        "--admin-key",
        "--job-seconds",
        "--rate-limit",
        "--retry-after",
        "--server-error",
        "--server-error-status",
        "--delay",
        "--delay-count",
        "--drop-stream-after",
        "--requests-per-minute",
        "--tokens-per-minute",
        "--limit-window-seconds",
    ):
        assert flag in done.stdout


@pytest.mark.parametrize(
    "args",
    [
        ["--bogus"],
        ["--port"],
        ["--port", "x"],
        ["--port", "70000"],
        ["--job-seconds", "-1"],
        ["--job-seconds", "nan"],
        ["--server-error-status", "404"],
        ["--delay-count", "2"],
        ["--admin-key", ""],
        ["--rate-limit", "1.5"],
        ["--requests-per-minute", "0"],
        ["--tokens-per-minute", "-5"],
        ["--limit-window-seconds", "0"],
        ["--limit-window-seconds", "inf"],
    ],
)
def test_usage_errors(emulator_path, args):
    done = subprocess.run([emulator_path, *args], capture_output=True, text=True, timeout=10)
    assert done.returncode == 2
    assert done.stdout == "" and "korvane-emulator:" in done.stderr


def test_busy_port_fails(emulator_path, start_emulator):
    first = start_emulator()
    done = subprocess.run([emulator_path, "--port", str(first.port)], capture_output=True, text=True, timeout=10)
    assert done.returncode == 1 and "cannot listen" in done.stderr


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT])
def test_signals_stop_cleanly_even_mid_stream(start_emulator, signal_number):
    emulator = start_emulator()
    body = json.dumps(
        {
            "model": "korvane-1",
            "messages": [{"role": "user", "content": "x"}],
            "stream": True,
            "emulator_tokens": 1000000,
        }
    ).encode()
    with socket.create_connection((emulator.host, emulator.port), timeout=5) as sock:
        sock.sendall(
            b"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\n"
            b"Authorization: Bearer sk-korvane-admin\r\nContent-Length: %d\r\n\r\n" % len(body) + body
        )
        assert sock.recv(1024).startswith(b"HTTP/1.1 200")  # the stream is open and stays unread
        emulator.process.send_signal(signal_number)
        assert emulator.process.wait(timeout=10) == 0


@pytest.mark.parametrize("attempt", range(5))
def test_signal_right_after_start_up(start_emulator, attempt):
    emulator = start_emulator()
    emulator.process.send_signal(signal.SIGTERM)
    assert emulator.process.wait(timeout=10) == 0
