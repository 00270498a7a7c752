"""Streams over HTTP/2 (TLS, negotiated by ALPN) against a real HTTP/2 server: reading pauses the
transfer and resumes it without losing, cutting or doubling a line, and a paused stream may be closed
or left while other transfers run."""

import os
import time

import pytest
from h2_app import BODY, LINES
from korvane_sdk.http import Session
from rawserver import hypercorn_server, self_signed_files

pytest.importorskip("hypercorn")


@pytest.fixture(scope="module")
def h2_url(tmp_path_factory):
    cert, key = self_signed_files(str(tmp_path_factory.mktemp("tls")))
    with hypercorn_server("h2_app:app", os.path.dirname(__file__), cert, key) as url:
        yield url


@pytest.fixture
def session():
    built = Session()
    built.verify = False
    yield built
    built.close()


def test_a_fast_http2_stream_reads_intact_across_pauses(session, h2_url):
    response = session.request("GET", h2_url, stream=True, timeout=10)
    assert response.headers["x-http-version"] == "2"
    lines = response.iter_lines()
    assert next(lines) == LINES[0]
    time.sleep(0.2)  # the sender fills whatever it may meanwhile
    assert list(lines) == LINES[1:]


def test_paused_http2_streams_close_or_wait_while_others_run(session, h2_url):
    dropped = session.request("GET", h2_url, stream=True, timeout=10)
    next(dropped.iter_lines())
    dropped.close()
    waiting = session.request("GET", h2_url, stream=True, timeout=10)
    lines = waiting.iter_lines()
    next(lines)
    time.sleep(0.2)
    assert session.request("GET", h2_url, timeout=10).content == BODY
    assert list(lines) == LINES[1:]
