"""What the hostile tests measure and wait for; their servers are in tests/rawserver.py."""

import os
import resource
import time

KEY = "sk-hostile-secret-0123456789"
SANITIZED = bool(os.environ.get("KORVANE_SANITIZED"))


def rss_bytes():
    """This process's resident memory now."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def wait_for(condition, seconds=5.0):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()
