"""Every kind of operation, repeated a few thousand times, leaves memory flat."""

import gc
import socket

import pytest
from hostile_probes import SANITIZED, rss_bytes
from korvane_sdk import KorvaneClient, http
from korvane_sdk import exceptions as ex
from support.emulator import ADMIN_KEY

pytestmark = pytest.mark.skipif(SANITIZED, reason="the address sanitizer's quarantine holds freed memory by design")

WARM_UP = 300
ROUNDS = 2500
MiB = 1 << 20
USER = [{"role": "user", "content": "one two three four five"}]


def closed_port_url():
    sock = socket.create_server(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return f"http://127.0.0.1:{port}"


@pytest.fixture(scope="module")
def setup(shared_emulator, tmp_path_factory):
    shared_emulator.ok("POST", "/_emulator/reset")
    client = KorvaneClient(api_key=ADMIN_KEY, api_url=shared_emulator.url, proxy_url=shared_emulator.url, timeout=5)
    data = tmp_path_factory.mktemp("leaks") / "data.jsonl"
    data.write_text('{"prompt": "p", "completion": "c"}\n' * 20)
    model = client.list_models()[0].id
    dataset = client.training.create_dataset("leaks").id
    refused = KorvaneClient(api_key=ADMIN_KEY, api_url=closed_port_url(), proxy_url=closed_port_url(), max_retries=2)
    yield client, refused, model, dataset, str(data)
    client.close()
    refused.close()


def whole(client, refused, model, dataset, data):
    client.chat.completions.create(model=model, messages=USER)


def streamed(client, refused, model, dataset, data):
    for _ in client.chat.completions.create(model=model, messages=USER, stream=True):
        pass


def dropped_stream(client, refused, model, dataset, data):
    stream = client.chat.completions.create(model=model, messages=USER, stream=True)
    next(stream)
    del stream


def upload(client, refused, model, dataset, data):
    client.training.upload_dataset(dataset, data)


def records(client, refused, model, dataset, data):
    client.list_models()
    client.training.list_datasets()


def error_answer(client, refused, model, dataset, data):
    with pytest.raises(ex.NotFoundError):
        client.tenants.get("missing")


def transport_error(client, refused, model, dataset, data):
    with pytest.raises(ex.ConnectionError):
        refused.tenants.list()
    with pytest.raises(http.ConnectionError):
        next(refused.chat.completions.create(model=model, messages=USER, stream=True))


def bad_input(client, refused, model, dataset, data):
    with pytest.raises((TypeError, ValueError)):
        client.chat.completions.create(model=model, messages=USER, extra=[float("nan")])


@pytest.mark.parametrize(
    "operation", [whole, streamed, dropped_stream, upload, records, error_answer, transport_error, bad_input]
)
def test_memory_stays_flat(setup, operation):
    for _ in range(WARM_UP):
        operation(*setup)
    gc.collect()
    before = rss_bytes()
    for _ in range(ROUNDS):
        operation(*setup)
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 4 * MiB, f"{operation.__name__}: {grown / MiB:.1f} MiB more after {ROUNDS} rounds"
