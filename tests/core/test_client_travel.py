"""Clients that travel: pickled as their configuration (to cluster workers), and safe across fork."""

import asyncio
import inspect
import os
import pickle
import warnings

import pytest
from korvane_sdk import Korvane
from korvane_sdk.aio import AsyncKorvane
from korvane_sdk.client import KorvaneClient
from support.sockets import own_connections


def travelling_hook(request):
    """A hook that pickles by reference (module level)."""


CHAT = {"model": "korvane-1", "messages": [{"role": "user", "content": "hello there"}]}

# A value other than the default for every constructor parameter.
CONFIGURATION = {
    "api_key": "sk-travel",
    "api_url": "http://127.0.0.1:9/api",
    "proxy_url": "http://127.0.0.1:9/proxy",
    "timeout": 7.5,
    "max_retries": 5,
    "verify_ssl": False,
    "retry_on_busy": True,
    "backoff_base": 0.25,
    "backoff_max": 3.0,
    "retry_after_max": 9.0,
    "hooks": {"request": (travelling_hook,), "response": ()},
    "default_headers": {"X-Team": "travel"},
    "default_query": {"region": "eu"},
}


class Subclassed(Korvane):
    pass


CLASSES = [Korvane, AsyncKorvane, Subclassed]


def call(client):
    """One chat call, awaited on a loop of its own for the asyncio client."""
    if isinstance(client, AsyncKorvane):

        async def main():
            try:
                return await client.chat.completions.create(**CHAT)
            finally:
                await client.close()

        return asyncio.run(main())
    with client:
        return client.chat.completions.create(**CHAT)


def test_every_constructor_setting_travels():
    parameters = set(inspect.signature(KorvaneClient.__init__).parameters) - {"self"}
    assert parameters == set(CONFIGURATION)  # a new setting must be added to pickling too


@pytest.mark.parametrize("cls", CLASSES)
def test_round_trip_keeps_the_configuration_and_not_the_session(cls):
    client = cls(**CONFIGURATION)
    copy = pickle.loads(pickle.dumps(client))
    assert type(copy) is cls
    assert {name: getattr(copy, name) for name in CONFIGURATION} == CONFIGURATION
    assert copy._session is not client._session
    assert copy._session.verify is False  # the copy's own session, made from the configuration


def test_async_client_keeps_its_connection_cap():
    copy = pickle.loads(pickle.dumps(AsyncKorvane(api_key="k", max_connections=7)))
    assert copy.max_connections == 7


@pytest.mark.parametrize("cls", [Korvane, AsyncKorvane])
def test_key_from_the_environment_travels_as_a_value(cls, monkeypatch):
    monkeypatch.setenv("KORVANE_API_KEY", "sk-from-here")
    data = pickle.dumps(cls())
    monkeypatch.setenv("KORVANE_API_KEY", "sk-from-there")
    assert pickle.loads(data).api_key == "sk-from-here"


@pytest.mark.parametrize("cls", [Korvane, AsyncKorvane])
def test_pickled_copy_makes_calls(emulator, cls):
    client = cls(api_key=emulator.admin_key, api_url=emulator.url, proxy_url=emulator.url)
    copy = pickle.loads(pickle.dumps(client))
    assert call(copy).choices[0].message.content == "Echo: hello there"
    # A closed client pickles too: the copy is open.
    call(client)
    assert call(pickle.loads(pickle.dumps(client))).choices[0].message.content == "Echo: hello there"


def forked(child):
    """Runs child() in a fork child; answers its exit code (0: passed)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with the test runner's threads
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = child()
        except BaseException:
            code = 3
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def test_blocking_fork_child_opens_its_own_connection(emulator):
    port = int(emulator.url.rsplit(":", 1)[1])
    with emulator.client() as client:
        client.chat.completions.create(**CHAT)
        inherited = own_connections(port)
        assert inherited  # the parent keeps its connection for the next call

        def child():
            answer = client.chat.completions.create(**CHAT)
            mine = own_connections(port)
            # A connection of its own beside the inherited copy, which it never wrote on.
            return 0 if answer.choices and len(mine) > len(inherited) else 2

        assert forked(child) == 0
        assert emulator.requests("/v1/chat/completions") == 2
        client.chat.completions.create(**CHAT)  # the parent's connection is intact
        assert emulator.requests("/v1/chat/completions") == 3


def test_async_fork_child_opens_its_own_connection(emulator):
    port = int(emulator.url.rsplit(":", 1)[1])
    client = AsyncKorvane(api_key=emulator.admin_key, api_url=emulator.url, proxy_url=emulator.url)

    async def parent_call():
        return await client.chat.completions.create(**CHAT)

    loop = asyncio.new_event_loop()
    try:
        loop.run_until_complete(parent_call())
        inherited = own_connections(port)

        def child():
            answer = asyncio.run(parent_call())  # a loop of the child's own
            return 0 if answer.choices and len(own_connections(port)) > len(inherited) else 2

        assert forked(child) == 0
        loop.run_until_complete(parent_call())
        assert emulator.requests("/v1/chat/completions") == 3
        loop.run_until_complete(client.close())
    finally:
        loop.close()
