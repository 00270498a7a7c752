"""Fixtures for the HTTP layer's wire tests."""

import pytest
from korvane_sdk.http import Session
from pytest_httpserver import HTTPServer
from rawserver import keep_alive


@pytest.fixture
def session():
    s = Session()
    yield s
    s.close()


@pytest.fixture
def other_host():
    """A second local server on another port: another origin than `httpserver`."""
    server = HTTPServer(host="localhost", port=0)
    server.start()
    yield server
    server.clear()
    if server.is_running():
        server.stop()


@pytest.fixture
def tls_raw_server(raw_server):
    """Starts a keep-alive server answering "secure" over TLS with the given certificate and key;
    its `https` attribute is a URL of it."""
    import ssl

    def start(cert, key):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)

        def handler(conn, server):
            try:
                tls = context.wrap_socket(conn, server_side=True)
            except (ssl.SSLError, OSError):
                return
            keep_alive(b"secure")(tls, server)

        server = raw_server(handler)
        server.https = server.url.replace("http://", "https://") + "/x"
        return server

    return start
