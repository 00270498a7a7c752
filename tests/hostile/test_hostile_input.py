"""Hostile arguments at every public entry point: a clear Python exception and nothing sent."""

import io
from collections.abc import Mapping

import pytest
from korvane_sdk import exceptions as ex
from korvane_sdk import http
from korvane_sdk.models import ValidationError

USER = [{"role": "user", "content": "hi"}]
HUGE = "x" * (16 << 20)


def nested(depth, leaf=1):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def nested_dicts(depth):
    value = {}
    for _ in range(depth):
        value = {"a": value}
    return value


class Shifting(Mapping):
    """A mapping whose contents change while it is being read."""

    def __init__(self):
        self.data = {f"k{i}": i for i in range(50)}

    def __getitem__(self, key):
        self.data[f"new{len(self.data)}"] = 0
        return self.data[key]

    def __iter__(self):
        for key in list(self.data):
            self.data.pop(key, None)
            yield key

    def __len__(self):
        return len(self.data)

    def items(self):
        for key in list(self.data):
            self.data[key + "!"] = 0
            yield key, self.data[key]


class ClearsItsList(Mapping):
    """A mapping that empties the list holding it when asked for its items."""

    def __init__(self, holder):
        self.holder = holder

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0

    def items(self):
        self.holder.clear()
        return []


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

    __repr__ = __str__


def clearing_list():
    holder = [object(), "x", 1.5]
    holder.insert(0, ClearsItsList(holder))
    return holder


chat = lambda c, **kw: c.chat.completions.create(**{"model": "korvane-1", "messages": USER, **kw})  # noqa: E731

BAD_CALLS = {
    "messages not a list": lambda c: chat(c, messages="hello"),
    "message of another kind": lambda c: chat(c, messages=[42]),
    "temperature nan": lambda c: chat(c, temperature=float("nan")),
    "top_p infinite": lambda c: chat(c, top_p=float("inf")),
    "extra object": lambda c: chat(c, extra=object()),
    "extra nan deep inside": lambda c: chat(c, extra={"a": [1, {"b": float("-inf")}]}),
    "extra tuple key": lambda c: chat(c, extra={(1, 2): "x"}),
    "extra deep list": lambda c: chat(c, extra=nested(200_000)),
    "extra deep dicts": lambda c: chat(c, extra=nested_dicts(200_000)),
    "extra unprintable key": lambda c: chat(c, extra={Unprintable(): 1}),
    "tenant name empty": lambda c: c.tenants.create(""),
    "tenant name huge": lambda c: c.tenants.create(HUGE),
    "tenant name not text": lambda c: c.tenants.create(["a"]),
    "tenant metadata not a mapping": lambda c: c.tenants.create("a", metadata=[1, 2]),
    "tenant metadata infinite": lambda c: c.tenants.create("a", metadata={"x": float("inf")}),
    "tenant metadata deep": lambda c: c.tenants.create("a", metadata=nested_dicts(200_000)),
    "tenant metadata int keys": lambda c: c.tenants.create("a", metadata={1: "x"}),
    "tenant update metadata nan": lambda c: c.tenants.update("t1", metadata={"x": float("nan")}),
    "feedback rating text": lambda c: c.feedback.create(request_id="r", rating="good"),
    "feedback rating out of range": lambda c: c.feedback.create(request_id="r", rating=5),
    "feedback tags not a list": lambda c: c.feedback.create(request_id="r", rating=1, tags=object()),
    "job type unknown": lambda c: c.training.create(training_type="rlhf", base_model="m", dataset_id="d"),
    "job gpus out of range": lambda c: c.training.create(
        training_type="sft", base_model="m", dataset_id="d", num_gpus=1000
    ),
    "job config nan": lambda c: c.training.create(
        training_type="sft", base_model="m", dataset_id="d", config={"lr": float("nan")}
    ),
    "dataset name huge": lambda c: c.training.create_dataset(HUGE),
    "upload missing file": lambda c: c.training.upload_dataset("d1", "/nonexistent/data.jsonl"),
    "upload a directory": lambda c: c.training.upload_dataset("d1", "/"),
    "upload path not a path": lambda c: c.training.upload_dataset("d1", 3.5),
}


CHANGING_CALLS = {
    "extra mapping changing while read": lambda c: chat(c, extra=[Shifting()]),
    "extra list emptied while read": lambda c: chat(c, extra=clearing_list()),
    "tenant metadata changing while read": lambda c: c.tenants.create("a", metadata={"m": Shifting()}),
}


@pytest.mark.parametrize("call", CHANGING_CALLS.values(), ids=CHANGING_CALLS.keys())
def test_input_changing_while_read_is_sent_as_one_snapshot_or_refused(client, emulator, call):
    try:
        call(client)
    except (TypeError, ValueError, RuntimeError):
        assert emulator.requests() == 0
    else:
        assert emulator.requests() == 1  # the platform took it as valid JSON
    assert client.tenants.list() is not None


@pytest.mark.parametrize("call", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_arguments_raise_and_send_nothing(client, emulator, call):
    with pytest.raises((TypeError, ValueError, OSError, RecursionError, RuntimeError, ex.KorvaneError)) as caught:
        call(client)
    assert not isinstance(caught.value, (ex.ConnectionError, ex.TimeoutError, ex.ServerError))
    assert emulator.requests() == 0
    assert client.tenants.list() == []  # and the client goes on working


def test_validation_errors_name_the_field(client, emulator):
    with pytest.raises(ValidationError, match="name"):
        client.tenants.create(HUGE)
    assert emulator.requests() == 0


class FailingFile(io.RawIOBase):
    def readable(self):
        return True

    def readinto(self, buffer):
        raise OSError("disk on fire")


@pytest.mark.parametrize("file", [FailingFile, lambda: io.BufferedReader(FailingFile())])
def test_files_that_fail_on_read(client, emulator, file):
    with pytest.raises(OSError, match="disk on fire"):
        client._request(method="POST", path="/api/v1/datasets/d1/upload", files={"file": file()})
    assert emulator.requests() == 0


BAD_HTTP = {
    "method not text": dict(method=5, url="http://127.0.0.1:9/"),
    "method with space": dict(method="GE T", url="http://127.0.0.1:9/"),
    "url not text": dict(method="GET", url=object()),
    "url scheme": dict(method="GET", url="ftp://127.0.0.1/"),
    "url empty": dict(method="GET", url=""),
    "header with newline": dict(method="GET", url="http://127.0.0.1:9/", headers={"X": "a\r\nInjected: 1"}),
    "header name with colon": dict(method="GET", url="http://127.0.0.1:9/", headers={"X:Y": "a"}),
    "header value not text": dict(method="GET", url="http://127.0.0.1:9/", headers={"X": 5}),
    "headers not a mapping": dict(method="GET", url="http://127.0.0.1:9/", headers=5),
    "timeout text": dict(method="GET", url="http://127.0.0.1:9/", timeout="soon"),
    "timeout nan": dict(method="GET", url="http://127.0.0.1:9/", timeout=float("nan")),
    "timeout negative": dict(method="GET", url="http://127.0.0.1:9/", timeout=-1),
    "timeout triple": dict(method="GET", url="http://127.0.0.1:9/", timeout=(1, 2, 3)),
    "json nan": dict(method="POST", url="http://127.0.0.1:9/", json=[float("nan")]),
    "json deep": dict(method="POST", url="http://127.0.0.1:9/", json=nested(200_000)),
    "files not a mapping": dict(method="POST", url="http://127.0.0.1:9/", files=5),
    "file value of another kind": dict(method="POST", url="http://127.0.0.1:9/", files={"f": object()}),
}


@pytest.mark.parametrize("arguments", BAD_HTTP.values(), ids=BAD_HTTP.keys())
def test_bad_http_arguments_raise_before_sending(good, arguments):
    server = good
    arguments = dict(arguments)
    if isinstance(arguments.get("url"), str):
        arguments["url"] = arguments["url"].replace("127.0.0.1:9", f"127.0.0.1:{server.port}")
    session = http.Session()
    with pytest.raises((TypeError, ValueError, RecursionError, http.RequestException)) as caught:
        session.request(**arguments)
    assert not isinstance(caught.value, http.ConnectionError)
    assert server.requests == []
    session.close()


def test_a_secret_header_value_never_shows_in_the_error(client):
    client.api_key = "sk-secret\r\nX-Evil: 1"
    with pytest.raises(Exception) as caught:
        client.tenants.list()
    assert "sk-secret" not in str(caught.value) and "sk-secret" not in repr(caught.value)
