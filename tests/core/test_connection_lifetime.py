"""When a client lets go of its connections: copies from with_options() share the parent's, and a
dropped client frees its own at once, without waiting for the cyclic garbage collector."""

import gc

import pytest
from support.sockets import own_connections


def sockets_to(port):
    """The TCP sockets this process holds to `port` on the loopback, in any state."""
    return len(own_connections(port))


@pytest.fixture
def no_collection():
    """The cyclic collector off: whatever is released must be released by reference counting."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.fixture
def of_emu(emulator, new_client):
    gc.collect()  # clients an earlier test left to the collector
    assert sockets_to(emulator.port) == 0
    return lambda **options: new_client(
        api_key=emulator.admin_key, api_url=emulator.url, proxy_url=emulator.url, **options
    )


def test_copies_from_with_options_share_the_connections(emulator, of_emu, no_collection):
    client = of_emu(timeout=30)
    for _ in range(100):
        assert client.with_options(timeout=20, max_retries=1).list_models()
    assert sockets_to(emulator.port) <= 2
    client.close()
    assert sockets_to(emulator.port) == 0


def test_a_dropped_client_releases_its_connections_at_once(emulator, of_emu, no_collection):
    for _ in range(3):
        client = of_emu()
        assert client.tenants.list() == [] and client.list_models()
        assert sockets_to(emulator.port) >= 1
        del client
        assert sockets_to(emulator.port) == 0
    parent = of_emu()
    parent.list_models()
    child = parent.with_options(timeout=20)
    del parent  # the child still uses the shared connections
    assert child.list_models() and sockets_to(emulator.port) >= 1
    del child
    assert sockets_to(emulator.port) == 0


def test_a_namespace_kept_alone_outlives_its_dropped_client(emulator, of_emu, no_collection):
    completions = of_emu().chat.completions
    tenants = of_emu().with_options(max_retries=1).tenants
    models = of_emu().list_models()
    answer = completions.create(model=models[0].id, messages=[{"role": "user", "content": "Hi"}])
    assert answer.choices and tenants.list() == []
    assert completions._client is not tenants._client


def test_the_shared_session_closes_with_its_last_user(emulator, of_emu):
    client = of_emu()
    child = client.with_options(timeout=20)
    other = client.with_options(verify_ssl=False)  # other TLS settings: a session of its own
    assert child._session is client._session and other._session is not client._session
    client.close()
    assert child.list_models()  # closing one leaves the connections to the others
    child.close()
    child.close()  # a second close changes nothing
    assert sockets_to(emulator.port) == 0
    with pytest.raises(Exception, match="closed"):
        client.list_models()
    assert other.list_models()
    other.close()
    late = child.with_options(timeout=10)  # made after its parent closed: a session of its own
    assert late._session is not child._session and late.list_models()
    late.close()


def test_a_subclass_with_a_finalizer_of_its_own_keeps_its_namespaces_linked(emulator, no_collection):
    from korvane_sdk import KorvaneClient

    class Finalized(KorvaneClient):
        def __del__(self):
            pass

    tenants = Finalized(api_key=emulator.admin_key, api_url=emulator.url, proxy_url=emulator.url).tenants
    assert tenants.list() == []
    tenants._client.close()
