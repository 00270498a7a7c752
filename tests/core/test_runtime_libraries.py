"""What the installed package needs at run time: libcurl (its own copy, in a wheel) and nothing else.

The cases that take libcurl away run in a private mount namespace (tests/without_system_libcurl.sh),
so they need root and unshare(1); elsewhere they are skipped.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import korvane_sdk
import pytest
from korvane_sdk.testing import emulator_path

HIDE = Path(__file__).resolve().parent.parent / "without_system_libcurl.sh"
PACKAGE = Path(korvane_sdk.__file__).resolve().parent
WHEEL_LIBRARIES = PACKAGE.parent / "korvane_sdk.libs"


def private_mounts_available():
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    return subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode == 0


needs_private_mounts = pytest.mark.skipif(
    not private_mounts_available(), reason="needs root and unshare to hide libraries"
)


def run_without_system_libcurl(code, *also_hide):
    env = dict(os.environ, KORVANE_ALSO_HIDE=":".join(str(p) for p in also_hide))
    # Preloaded sanitizer runtimes (the sanitized pass) are for the interpreter, not for the wrapper.
    preload = env.pop("LD_PRELOAD", "")
    command = [str(HIDE), "env", f"LD_PRELOAD={preload}", sys.executable, "-c", code]
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=60)


CREATE_CLIENT = """
import korvane_sdk
try:
    korvane_sdk.Korvane(api_key="sk-test", api_url="http://127.0.0.1:9", proxy_url="http://127.0.0.1:9")
except ImportError as error:
    print("ImportError:", error)
else:
    print("created")
"""


@needs_private_mounts
def test_without_any_libcurl_the_first_client_raises_an_import_error_that_says_what_to_install():
    done = run_without_system_libcurl(CREATE_CLIENT, PACKAGE / "libkorvane_curl.so")
    assert done.returncode == 0, done.stderr
    message = done.stdout
    assert message.startswith("ImportError: korvane_sdk needs libcurl"), message
    assert "apt-get install libcurl4" in message and "dnf install libcurl" in message
    assert "file too short" in message or "cannot open" in message  # the loader's own reason


@needs_private_mounts
@pytest.mark.skipif(not WHEEL_LIBRARIES.is_dir(), reason="a build from source uses the system's libcurl")
def test_a_wheel_uses_its_own_libcurl_when_the_system_has_none():
    code = """
import korvane_sdk.http
session = korvane_sdk.http.Session()
print(sorted({line.split()[-1] for line in open("/proc/self/maps") if "libcurl" in line}))
"""
    done = run_without_system_libcurl(code)
    assert done.returncode == 0, done.stderr
    loaded = eval(done.stdout)
    assert loaded and all(path.startswith(str(WHEEL_LIBRARIES)) for path in loaded), loaded


def needed_libraries(binary):
    if not shutil.which("readelf"):
        pytest.skip("readelf is needed to read a binary's dependencies")
    dynamic = subprocess.run(["readelf", "-d", binary], capture_output=True, text=True, check=True).stdout
    return {line.rsplit("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line}


@pytest.mark.skipif(bool(os.environ.get("KORVANE_SANITIZED")), reason="the sanitized build links the sanitizers")
def test_the_emulator_and_the_module_need_only_the_c_library():
    c_library = {
        "libc.so.6",
        "libm.so.6",
        "libpthread.so.0",
        "libdl.so.2",
        "librt.so.1",
        "libgcc_s.so.1",
        "ld-linux-x86-64.so.2",
    }
    assert needed_libraries(emulator_path()) <= c_library
    core = next(PACKAGE.glob("_core*.so"))
    assert needed_libraries(str(core)) <= c_library
