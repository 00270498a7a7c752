"""One table of call rules run through both clients against the stand-in: a transport failure
repeated, a busy answer waited out, a replaced seam, an error named as its call. The blocking and
the asyncio client drive the same call engine, so every row must come out the same for both."""

import pytest
from korvane_sdk import exceptions as ex

MODELS = {"data": [{"id": "mod-1", "name": "Model"}]}


def slow_once(emulator, client):
    emulator.inject_delay(3, times=1)  # longer than the client's time-out: the first attempt fails


def busy_once(emulator, client):
    emulator.inject_server_error(times=1, status=503)


def server_error(emulator, client):
    emulator.inject_server_error(times=1, status=500)


def replaced_request(emulator, client):
    def request(**kwargs):  # a plain function: its answer is taken as it is, on both clients
        client.seen.append(kwargs)
        return MODELS

    client._request = request


def replaced_handler(emulator, client):
    def handle(response, raw):
        client.seen.append(response.status_code)
        return MODELS

    client._handle_response = handle


# (settings, what is arranged, a model listed or the error raised, requests the stand-in saw,
#  pauses taken, what the replaced seam saw)
ROWS = {
    "a timed-out attempt is repeated": ({"timeout": 1, "max_retries": 2}, slow_once, "korvane-1", 2, [], []),
    "a busy answer is waited out": ({"retry_on_busy": True}, busy_once, "korvane-1", 2, [0.25], []),
    "busy off: raised with the call named": ({}, server_error, ex.ServerError, 1, [], []),
    "a replaced _request is called instead": (
        {},
        replaced_request,
        "mod-1",
        0,
        [],
        [{"method": "GET", "path": "/v1/models"}],
    ),
    "a replaced _handle_response reads the answer": ({}, replaced_handler, "mod-1", 1, [], [200]),
}


@pytest.mark.parametrize("row", list(ROWS))
def test_call_rules(row, emulator, new_client):
    settings, arrange, expected, requests, pauses, seen = ROWS[row]
    client = new_client(api_key=emulator.admin_key, api_url=emulator.url, proxy_url=emulator.url, **settings)
    client.seen, client.pauses = [], []
    client._sleep = client.pauses.append  # no real waiting
    client._random = lambda: 0.5
    arrange(emulator, client)
    try:
        if isinstance(expected, type):
            with pytest.raises(expected) as caught:
                client.list_models()
            assert (caught.value.method, caught.value.url) == ("GET", f"{emulator.url}/v1/models")
        else:
            assert expected in [m.id for m in client.list_models()]
        assert emulator.requests("/v1/models") == requests
        assert (client.pauses, client.seen) == (pauses, seen)
    finally:
        client.close()
