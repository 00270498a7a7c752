"""Instruction counts of whole runs (valgrind's callgrind): a measure that the noise of a shared
machine does not move, for comparisons that wall time blurs."""

import os
import shutil
import subprocess
import tempfile


def available():
    return shutil.which("valgrind") is not None


def instructions(argv):
    """User-space instructions one run of `argv` executes, or None without valgrind."""
    if not available():
        return None
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *argv], check=True, capture_output=True
        )
        with open(out) as profile:
            for line in profile:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    return None
