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
    # libcurl is either linked into the link library or a copy beside it in korvane_sdk.libs.
    code = """
import korvane_sdk.http
session = korvane_sdk.http.Session()
print(korvane_sdk.http.library_versions()["libcurl"])
print(sorted({line.split()[-1] for line in open("/proc/self/maps") if "curl" in line}))
"""
    done = run_without_system_libcurl(code)
    assert done.returncode == 0, done.stderr
    version, loaded = done.stdout.splitlines()
    loaded = eval(loaded)
    assert version and loaded, done.stdout
    assert all(path.startswith((str(WHEEL_LIBRARIES), str(PACKAGE))) for path in loaded), loaded


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
        "ld-linux-aarch64.so.1",
    }
    assert needed_libraries(emulator_path()) <= c_library
    core = next(PACKAGE.glob("_core*.so"))
    assert needed_libraries(str(core)) <= c_library


# A libcurl that has the newest of the functions the SDK calls but lacks others: the loader resolves
# every one up front, so the first client says which is missing instead of failing call by call.
# (curl_easy_init: the link library's own reference.)
PARTIAL_LIBCURL = """
void* curl_easy_init(void) { return 0; }
int curl_multi_poll(void) { return 0; }
const char* curl_url_strerror(int code) { (void)code; return ""; }
"""


def libcurl_versions_needed(binary):
    if not shutil.which("readelf"):
        pytest.skip("readelf is needed to read a binary's symbol versions")
    text = subprocess.run(["readelf", "-V", binary], capture_output=True, text=True, check=True).stdout
    return sorted({word for word in text.split() if word.startswith("CURL_")})


@pytest.mark.skipif(WHEEL_LIBRARIES.is_dir(), reason="a wheel's link library names its own copy of libcurl")
def test_a_libcurl_lacking_a_function_is_refused_at_the_first_client_with_its_name(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("needs a C compiler to make the partial library")
    source = tmp_path / "partial.c"
    source.write_text(PARTIAL_LIBCURL)
    command = [compiler, "-shared", "-fPIC", "-o", str(tmp_path / "libcurl.so.4"), str(source)]
    # The symbol version the link library asks for (a distribution's libcurl versions its symbols).
    versions = libcurl_versions_needed(PACKAGE / "libkorvane_curl.so")
    if versions:
        script = tmp_path / "versions.map"
        script.write_text("".join(f"{name} {{ global: *; }};\n" for name in versions))
        command.append(f"-Wl,--version-script={script}")
    subprocess.run(command, check=True)
    # Found ahead of the system's libcurl, by the link library and by a lookup by name alike.
    env = dict(os.environ, LD_LIBRARY_PATH=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", CREATE_CLIENT], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ImportError: korvane_sdk needs libcurl"), done.stdout
    assert "lacks curl_global_init" in done.stdout, done.stdout


def test_library_versions_name_the_libcurl_and_the_tls_library_in_use():
    import korvane_sdk.http

    versions = korvane_sdk.http.library_versions()
    assert set(versions) == {"libcurl", "tls", "http2", "zlib", "brotli", "zstd"}
    major, minor = (int(part) for part in versions["libcurl"].split(".")[:2])
    assert (major, minor) >= (7, 80), versions
    # What the SDK relies on: TLS from OpenSSL, HTTP/2, gzip.
    assert versions["tls"].startswith("OpenSSL/"), versions
    assert versions["http2"] and versions["zlib"], versions
