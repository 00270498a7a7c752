"""The libcurl the installed package runs on does what the SDK asks of it.

A wheel links a libcurl built with only what the SDK uses into libkorvane_curl.so; these cases run
against the installed wheel (and against the system's libcurl in a build from source), so a feature
left out of that build, or a library it picked up from the build machine, shows here.
"""

import gzip
import os
import shutil
import subprocess
import sys
import zlib
from pathlib import Path

import korvane_sdk
import pytest
from korvane_sdk.http import ConnectionError, Session
from rawserver import Server, keep_alive, self_signed_context

PACKAGE = Path(korvane_sdk.__file__).resolve().parent
LINK_LIBRARY = PACKAGE / "libkorvane_curl.so"
WHEEL_LIBRARIES = PACKAGE.parent / "korvane_sdk.libs"


def needed_libraries(binary):
    if not shutil.which("readelf"):
        pytest.skip("readelf is needed to read a binary's dependencies")
    dynamic = subprocess.run(["readelf", "-d", str(binary)], capture_output=True, text=True, check=True).stdout
    return {line.rsplit("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line}


def libcurl_inside():
    """Whether libcurl is linked into the link library (the wheels) rather than loaded beside it."""
    return not any(name.startswith("libcurl") for name in needed_libraries(LINK_LIBRARY))


@pytest.fixture
def serve():
    servers = []

    def start(handler, tls=None, host="127.0.0.1"):
        server = Server(handler, tls=tls, host=host)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def session():
    session = Session()
    yield session
    session.close()


@pytest.mark.parametrize(
    ("encoding", "compress"),
    [("gzip", gzip.compress), ("deflate", zlib.compress)],
)
def test_compressed_answers_are_decoded(serve, session, encoding, compress):
    body = b'{"answer": "' + b"x" * 5000 + b'"}'
    server = serve(keep_alive(compress(body), headers=(f"Content-Encoding: {encoding}",)))
    response = session.request("GET", server.url)
    assert response.content == body
    assert b"accept-encoding: gzip, deflate" in server.requests[0].lower()


def test_https_with_the_callers_certificate(serve, session, tmp_path):
    if not shutil.which("openssl"):
        pytest.skip("openssl is needed to make a test certificate")
    server = serve(keep_alive(b"over tls"), tls=self_signed_context(tmp_path))
    session.verify = str(tmp_path / "cert.pem")
    assert session.request("GET", server.url).text == "over tls"


def test_https_refuses_a_certificate_nobody_trusts(serve, session, tmp_path):
    if not shutil.which("openssl"):
        pytest.skip("openssl is needed to make a test certificate")
    server = serve(keep_alive(b"over tls"), tls=self_signed_context(tmp_path))
    with pytest.raises(ConnectionError) as info:
        session.request("GET", server.url, timeout=10)
    assert "certificate" in str(info.value).lower()


def test_a_proxy_from_the_environment_is_used(serve, session, monkeypatch):
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)
    proxy = serve(keep_alive(b"via proxy"))
    monkeypatch.setenv("http_proxy", proxy.url.replace("http://", "http://user:secret@"))
    assert session.request("GET", "http://upstream.invalid/x").text == "via proxy"
    request = proxy.requests[0]
    assert request.startswith(b"GET http://upstream.invalid/x HTTP/1.1\r\n")
    assert b"Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=" in request  # user:secret


def test_a_host_name_is_resolved(serve, session):
    server = serve(keep_alive(b"by name"))
    assert session.request("GET", f"http://localhost:{server.port}/").text == "by name"


# What a wheel's own libcurl brings: OpenSSL and zlib linked in with it, so beside the C library it
# needs only nghttp2 (copied into the wheel), and only libcurl's API leaves the link library.
BESIDE = ("libnghttp2",)
C_LIBRARY = ("libc.so", "libm.so", "libpthread.so", "libdl.so", "librt.so", "ld-linux")

needs_libcurl_inside = pytest.mark.skipif(
    not LINK_LIBRARY.exists() or not shutil.which("readelf") or not libcurl_inside(),
    reason="a build from source uses the system's libcurl",
)


@needs_libcurl_inside
def test_the_wheels_libcurl_carries_openssl_and_zlib_inside():
    needed = needed_libraries(LINK_LIBRARY)
    unexpected = {name for name in needed if not name.startswith(BESIDE + C_LIBRARY)}
    assert not unexpected, needed
    if WHEEL_LIBRARIES.is_dir():
        copied = {path.name for path in WHEEL_LIBRARIES.iterdir()}
        assert all(name.startswith(BESIDE) for name in copied), copied
    # Inside, not merely absent: the TLS library libcurl reports is there without a libssl loaded.
    code = "import korvane_sdk.http as h; h.Session(); print(h.library_versions()['tls'])"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("OpenSSL/"), done.stdout


@needs_libcurl_inside
def test_the_link_library_exports_only_libcurls_api():
    symbols = subprocess.run(
        ["readelf", "--dyn-syms", "-W", str(LINK_LIBRARY)], capture_output=True, text=True, check=True
    ).stdout
    exported = set()
    for line in symbols.splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name: a defined, global symbol.
        if len(fields) >= 8 and fields[4] in ("GLOBAL", "WEAK") and fields[6] != "UND":
            exported.add(fields[7].split("@")[0])
    assert "curl_easy_init" in exported and "curl_multi_socket_action" in exported
    assert {name for name in exported if not name.startswith("curl_")} <= {"korvane_curl_link"}, exported


SYSTEM_LIBCURL_FIRST = """
import ctypes, ctypes.util, sys
name = ctypes.util.find_library("curl")
try:
    system = ctypes.CDLL(name, mode=ctypes.RTLD_GLOBAL) if name else None
except OSError:  # listed, but hidden or broken
    system = None
if system is None:
    print("no system libcurl")
    sys.exit(0)
system.curl_version.restype = ctypes.c_char_p
import korvane_sdk.http
session = korvane_sdk.http.Session()
print(system.curl_version().decode().split()[0], korvane_sdk.http.library_versions()["libcurl"])
print(session.request("GET", sys.argv[1]).text)
"""


@needs_libcurl_inside
def test_a_system_libcurl_loaded_first_leaves_the_wheels_own_in_charge(serve):
    # Another package may have put the system's libcurl into the process's global scope first: the
    # wheel's libcurl must call its own functions, never that library's of the same names.
    server = serve(keep_alive(b"own libcurl"))
    done = subprocess.run(
        [sys.executable, "-c", SYSTEM_LIBCURL_FIRST, server.url],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"),
    )
    assert done.returncode == 0, done.stderr
    if done.stdout.startswith("no system libcurl"):
        pytest.skip("no system libcurl to load first")
    versions, text = done.stdout.splitlines()
    system, own = versions.split()
    assert own == korvane_sdk.http.library_versions()["libcurl"]
    assert text == "own libcurl"
    assert system  # the system's was loaded and answered too


TWO_OPENSSLS = """
import ssl, sys, urllib.request
import korvane_sdk.http
url, cafile, order = sys.argv[1:]


def python_ssl():
    context = ssl.create_default_context(cafile=cafile)
    with urllib.request.urlopen(url, context=context, timeout=30) as answer:
        return answer.read().decode()


def sdk():
    session = korvane_sdk.http.Session()
    session.verify = cafile
    return session.request("GET", url, timeout=30).text


steps = [python_ssl, sdk] if order == "python first" else [sdk, python_ssl]
print(";".join(step() for step in steps))
"""


@pytest.mark.parametrize("order", ["python first", "sdk first"])
def test_pythons_ssl_and_the_sdks_tls_work_side_by_side(serve, tmp_path, order):
    # A wheel's OpenSSL is its own, linked into the link library with its symbols hidden, while
    # Python's ssl module brings the system's: each must keep its own state (initialisation, error
    # queues, certificate stores) whichever of them starts first.
    if not shutil.which("openssl"):
        pytest.skip("openssl is needed to make a test certificate")
    server = serve(keep_alive(b"over tls"), tls=self_signed_context(tmp_path))
    done = subprocess.run(
        [sys.executable, "-c", TWO_OPENSSLS, server.url, str(tmp_path / "cert.pem"), order],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "over tls;over tls"
