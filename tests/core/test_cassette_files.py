"""Cassette files written by hand (as a reviewer may edit them), replayed by both clients with no server."""

import json

import pytest
from korvane_sdk.exceptions import RateLimitError
from korvane_sdk.testing import CassetteError, cassette

CHUNK = {"id": "c", "created": 1, "model": "m", "choices": [{"index": 0, "delta": {"content": "é"}}]}
INTERACTIONS = [
    {
        "request": {"method": "GET", "path": "/v1/models", "query": {}},
        "response": {"status": 200, "headers": {"Content-Type": "application/json"}, "json": {"data": []}},
    },
    {
        "request": {"method": "GET", "path": "/api/v1/tenants", "query": {"limit": "2", "offset": "0"}},
        "response": {"status": 429, "headers": {"RETRY-after": "7"}, "json": {"error": "slow down"}},
    },
    {
        "request": {"method": "POST", "path": "/v1/chat/completions", "query": {}, "body": "edited below"},
        "response": {
            "status": 200,
            "headers": {},
            "ended": True,
            "lines": [
                {"delay": 0.5, "line": "data: " + json.dumps(CHUNK)},
                {"delay": 0.0, "base64": "ZGF0YTog/w=="},  # b"data: \xff": not UTF-8
            ],
        },
    },
]


@pytest.fixture
def tape_file(tmp_path):
    def write(body):
        interactions = json.loads(json.dumps(INTERACTIONS))
        interactions[2]["request"]["body"] = body
        path = tmp_path / "tape.json"
        path.write_text(json.dumps({"version": 1, "interactions": interactions}))
        return path

    return write


def test_hand_written_cassette_replays(tape_file, new_client):
    messages = [{"role": "user", "content": "Hi"}]
    client = new_client(api_key="sk-anything", proxy_url="http://127.0.0.1:9", api_url="http://127.0.0.1:9")
    body = {"model": "m", "messages": messages, "temperature": 0.7, "stream": True, "n": 1}
    with cassette(tape_file(body), mode="none") as tape:
        tape.attach(getattr(client, "async_target", client))
        with client:
            assert client.list_models() == []
            with pytest.raises(RateLimitError) as limited:
                client.tenants.list(limit=2)
            assert limited.value.retry_after == 7  # headers are read without regard to case
            stream = client.chat.completions.create(model="m", messages=messages, stream=True)
            assert next(stream).choices == CHUNK["choices"]
            with pytest.raises(UnicodeDecodeError):  # the recorded bytes, exactly
                next(stream)
        assert tape.all_played


@pytest.mark.parametrize(
    "document, message",
    [
        ("not json", "is not a cassette"),
        ('{"interactions": {}}', "no list of interactions"),
        ('{"version": 9, "interactions": []}', "version 9"),
    ],
)
def test_unreadable_cassettes_say_why(tmp_path, document, message):
    path = tmp_path / "tape.json"
    path.write_text(document)
    with pytest.raises(CassetteError, match=message):
        cassette(path, mode="none")


def test_replaying_needs_no_key(tape_file, monkeypatch):
    with cassette(tape_file({}), mode="none") as tape, tape.client() as client:
        assert client.list_models() == []
