"""./run wheels' background steps: a failure reaches the caller with its output, and whatever is still
running when the script stops (on a failure elsewhere) is ended with all it started."""

import os
import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
HELPERS = ("read_cpu_seconds", "timed_step", "finish_background", "stop_background")

pytestmark = pytest.mark.skipif(not (ROOT / "run").is_file(), reason="needs the checkout")


def script(body, folder):
    """A bash script with run's helpers defined, running `body`."""
    text = (ROOT / "run").read_text()
    functions = [re.search(rf"^{name}\(\) {{\n.*?^}}\n", text, re.MULTILINE | re.DOTALL).group(0) for name in HELPERS]
    return "\n".join(
        [
            "set -euo pipefail",
            'log() { echo "[run] $*" >&2; }',
            f"WHEELS={folder}; KORVANE_STEP_TIMES={folder}/times.tsv; BACKGROUND=()",
            *functions,
            "trap stop_background EXIT",
            body,
        ]
    )


def run(body, folder):
    return subprocess.run(["bash", "-c", script(body, folder)], capture_output=True, text=True, timeout=120)


def test_a_failed_background_step_fails_the_wait_and_shows_its_output(tmp_path):
    done = run(
        f"""setsid -w bash -c 'echo from the step; exit 3' >{tmp_path}/step.log 2>&1 &
BACKGROUND+=($!)
finish_background {tmp_path}/step.log || echo "failed with $?"
""",
        tmp_path,
    )
    assert "failed with 3" in done.stdout
    assert "from the step" in done.stderr


def test_a_step_still_running_is_ended_with_its_children_when_the_script_stops(tmp_path):
    pids = tmp_path / "pids"
    done = run(
        f"""setsid -w bash -c 'sleep 300 & echo $! >{pids}; wait' >/dev/null 2>&1 &
BACKGROUND+=($!)
until [ -s {pids} ]; do sleep 0.1; done
timed_step "a step that fails" false
""",
        tmp_path,
    )
    assert done.returncode != 0 and "a step that fails failed" in done.stderr
    grandchild = int(pids.read_text())
    for _ in range(100):
        try:
            os.kill(grandchild, 0)
        except ProcessLookupError:
            break
        time.sleep(0.1)
    else:
        os.kill(grandchild, signal.SIGKILL)
        pytest.fail("the background step's child outlived the script")


def test_each_step_notes_its_wall_and_processor_seconds(tmp_path):
    done = run('timed_step "busy step" python3 -c "sum(range(10**6))"', tmp_path)
    assert done.returncode == 0, done.stderr
    (line,) = (tmp_path / "times.tsv").read_text().splitlines()
    assert re.fullmatch(r"busy step\t\d+\t\d+", line)
