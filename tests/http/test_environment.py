"""Settings from outside the call: proxies from the environment, TLS verification, interruption."""

import _thread
import os
import shutil
import signal
import subprocess
import sys
import threading

import pytest
from korvane_sdk.http import ConnectionError
from rawserver import keep_alive, self_signed_files


@pytest.mark.parametrize("variable", ["http_proxy", "HTTP_PROXY", "all_proxy"])
def test_proxy_from_environment(raw_server, session, monkeypatch, variable):
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY", "REQUEST_METHOD"):
        monkeypatch.delenv(name, raising=False)
    proxy = raw_server(keep_alive(b"via proxy"))
    monkeypatch.setenv(variable, proxy.url)
    assert session.request("GET", "http://upstream.invalid/x?y=1").text == "via proxy"
    assert proxy.requests[0].startswith(b"GET http://upstream.invalid/x?y=1 HTTP/1.1\r\n")


def test_no_proxy_is_honoured(raw_server, session, monkeypatch):
    proxy = raw_server(keep_alive(b"via proxy"))
    target = raw_server(keep_alive(b"direct"))
    monkeypatch.setenv("HTTP_PROXY", proxy.url)
    monkeypatch.setenv("http_proxy", proxy.url)
    monkeypatch.setenv("no_proxy", "127.0.0.1")
    assert session.request("GET", target.url).text == "direct"
    assert proxy.connections == 0


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    if not shutil.which("openssl"):
        pytest.skip("openssl is needed to make a test certificate")
    return self_signed_files(tmp_path_factory.mktemp("tls"))


@pytest.fixture
def tls_server(tls_raw_server, certificate):
    return tls_raw_server(*certificate).https


@pytest.mark.parametrize("verify", [True, 1])
def test_tls_verification_refuses_an_untrusted_certificate(session, tls_server, verify):
    session.verify = verify
    with pytest.raises(ConnectionError) as info:
        session.request("GET", tls_server, timeout=2)
    assert "certificate" in str(info.value).lower()


@pytest.mark.parametrize("verify", [False, 0, None, ""])
def test_tls_verification_off(session, tls_server, verify):
    session.verify = verify
    assert session.request("GET", tls_server, timeout=2).text == "secure"


def test_ssl_cert_file_names_the_certificates_to_trust(tls_server, certificate):
    # The trusted certificates are looked up once per process: a fresh interpreter sees the variable.
    code = (
        "import sys; from korvane_sdk.http import Session; print(Session().request('GET', sys.argv[1], timeout=5).text)"
    )
    # The bundle variables requests reads would come first (this machine may set them).
    plain = {
        k: v
        for k, v in os.environ.items()
        if k not in ("SSL_CERT_FILE", "SSL_CERT_DIR", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE")
    }
    trusted = subprocess.run(
        [sys.executable, "-c", code, tls_server],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(plain, SSL_CERT_FILE=str(certificate[0])),
    )
    assert trusted.stdout.strip() == "secure", trusted.stderr
    untrusted = subprocess.run(
        [sys.executable, "-c", code, tls_server], capture_output=True, text=True, timeout=60, env=plain
    )
    assert untrusted.returncode != 0 and "certificate" in untrusted.stderr.lower()


def test_a_waiting_request_can_be_interrupted(raw_server, session):
    # A process started in the background inherits SIGINT ignored, and then interrupt_main() does
    # nothing: install Python's own handler for the test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        server = raw_server(lambda conn, server: (server.receive(conn), server.closed.wait(3)))
        timer = threading.Timer(0.1, _thread.interrupt_main)
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            session.request("GET", server.url, timeout=3)
        timer.join()
        server.closed.set()
    finally:
        signal.signal(signal.SIGINT, previous)
