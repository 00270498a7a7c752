"""Record and replay: exchanges recorded against the stand-in, replayed with it stopped."""

import io
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from korvane_sdk.exceptions import NotFoundError
from korvane_sdk.testing import CassetteError, CassetteMismatch, cassette
from support.emulator import ADMIN_KEY

HI = [{"role": "user", "content": "Hi"}]
TOUR = Path(__file__).with_name("cassette_tour.py")


def attached(tape, client):
    """The cassette on a client of the case's kind (the async one sits behind a blocking facade)."""
    tape.attach(getattr(client, "async_target", client))
    return client


def exchanges(client):
    """A little of everything: whole calls, a stream, an upload, a failure; what each gave."""
    results = [client.chat.completions.create(model="korvane-1", messages=HI).model_dump()]
    stream = client.chat.completions.create(model="korvane-1", messages=HI, n=2, stream=True)
    results.append([chunk.model_dump() for chunk in stream])
    tenant = client.tenants.create("Acme", metadata={"region": "eu"})
    results.append(tenant.model_dump())
    results.append([t.id for t in client.tenants.list(limit=5)])
    dataset = client.training.create_dataset("d", dataset_type="sft")
    results.append(client.training.upload_dataset(dataset.id, io.BytesIO(b'{"prompt": "p"}\n')).num_examples)
    with pytest.raises(NotFoundError) as missing:
        client.tenants.get("t-none")
    results.append(str(missing.value))
    return results


@pytest.fixture
def own_emulator(start_emulator):
    return start_emulator()


def test_recorded_exchanges_replay_with_the_emulator_stopped(own_emulator, new_client, tmp_path):
    path = tmp_path / "tape.json"
    options = {"api_key": ADMIN_KEY, "api_url": own_emulator.url, "proxy_url": own_emulator.url}
    with cassette(path) as tape:
        assert tape.recording
        with attached(tape, new_client(**options)) as client:
            recorded = exchanges(client)
    own_emulator.stop()

    with cassette(path, mode="none") as tape:
        with attached(tape, new_client(**options)) as client:
            replayed = exchanges(client)
        assert tape.all_played
    assert replayed == recorded

    text = path.read_text()
    assert ADMIN_KEY not in text and "uthorization" not in text
    assert '"api_key": "<redacted>"' in text and not re.search(r'"api_key": "(?!<redacted>)', text)  # tenants' keys
    document = json.loads(text)
    kinds = [sorted(set(i["response"]) - {"status", "headers"}) for i in document["interactions"]]
    assert kinds[:2] == [["json"], ["ended", "lines"]]
    lines = document["interactions"][1]["response"]["lines"]
    assert all(isinstance(line["delay"], float) for line in lines) and lines[-1]["line"] == "data: [DONE]"
    upload = next(i["request"]["files"]["file"] for i in document["interactions"] if "files" in i["request"])
    assert upload == {"size": 16, "sha256": upload["sha256"], "text": '{"prompt": "p"}\n'}


def test_unmatched_request_names_itself(own_emulator, new_client, tmp_path):
    path = tmp_path / "tape.json"
    options = {"api_key": ADMIN_KEY, "api_url": own_emulator.url, "proxy_url": own_emulator.url}
    with cassette(path) as tape, attached(tape, new_client(**options)) as client:
        client.chat.completions.create(model="korvane-1", messages=HI)
    own_emulator.stop()
    with cassette(path, mode="once") as tape, attached(tape, new_client(**options)) as client:
        with pytest.raises(CassetteMismatch, match=r"no recording of POST /v1/chat/completions with body .*Bye"):
            client.chat.completions.create(model="korvane-1", messages=[{"role": "user", "content": "Bye"}])
        client.chat.completions.create(model="korvane-1", messages=HI)
        with pytest.raises(CassetteMismatch, match="1 recording.* played already"):
            client.chat.completions.create(model="korvane-1", messages=HI)
        with pytest.raises(CassetteMismatch, match=r"no recording of GET /api/v1/tenants\?.*limit=3"):
            client.tenants.list(is_active=True, limit=3)


def test_modes(emulator, tmp_path):
    path = tmp_path / "tape.json"
    with pytest.raises(CassetteError, match="no cassette"):
        cassette(path, mode="none")
    with pytest.raises(ValueError, match="mode"):
        cassette(path, mode="sometimes")
    options = {"api_key": ADMIN_KEY, "api_url": emulator.url, "proxy_url": emulator.url}
    with cassette(path) as tape, tape.client(**options) as client:
        client.chat.completions.create(model="korvane-1", messages=HI)
    # new_episodes: the recorded call is replayed (the stand-in counts nothing), the new one recorded
    emulator.reset()
    with cassette(path, mode="new_episodes") as tape, tape.client(**options) as client:
        client.chat.completions.create(model="korvane-1", messages=HI)
        client.list_models()
    assert emulator.requests() == 1
    assert len(json.loads(path.read_text())["interactions"]) == 2
    # all: everything again, the old recordings gone
    with cassette(path, mode="all") as tape, tape.client(**options) as client:
        client.list_models()
    assert emulator.requests() == 2
    assert [i["request"]["path"] for i in json.loads(path.read_text())["interactions"]] == ["/v1/models"]


def test_stream_closed_early_replays_only_what_was_read(own_emulator, new_client, tmp_path):
    path = tmp_path / "tape.json"
    options = {"api_key": ADMIN_KEY, "api_url": own_emulator.url, "proxy_url": own_emulator.url}
    with cassette(path) as tape, attached(tape, new_client(**options)) as client:
        with client.chat.completions.create(model="korvane-1", messages=HI, stream=True) as stream:
            first = next(stream)
    own_emulator.stop()
    with cassette(path, mode="none") as tape, attached(tape, new_client(**options)) as client:
        with client.chat.completions.create(model="korvane-1", messages=HI, stream=True) as stream:
            assert next(stream) == first
    with cassette(path, mode="none") as tape, attached(tape, new_client(**options)) as client:
        stream = client.chat.completions.create(model="korvane-1", messages=HI, stream=True)
        with pytest.raises(CassetteError, match="closed by its reader"):
            list(stream)


def test_pytest_plugin_records_then_replays(emulator, tmp_path):
    (tmp_path / "test_app.py").write_text(
        "import pytest\n"
        "@pytest.mark.korvane_cassette\n"
        "def test_answer(korvane_recorded_client):\n"
        "    reply = korvane_recorded_client.chat.completions.create(\n"
        "        model='korvane-1', messages=[{'role': 'user', 'content': 'ticket 17'}])\n"
        "    assert reply.choices[0].message.content == 'Echo: ticket 17'\n"
    )

    def run(*args, **env):
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args]
        return subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120, env=env)

    base = {"PATH": "/usr/bin:/bin", "KORVANE_EMULATOR": emu_path()}
    first = run(**base)
    assert first.returncode == 0, first.stdout + first.stderr
    recorded = tmp_path / "cassettes" / "test_app" / "test_answer.json"
    assert recorded.is_file()
    # Replay only, with no stand-in to start: KORVANE_EMULATOR names nothing that runs.
    second = run("--record-mode=none", PATH="/usr/bin:/bin", KORVANE_EMULATOR="/nonexistent")
    assert second.returncode == 0, second.stdout + second.stderr
    recorded.unlink()
    third = run("--record-mode=none", PATH="/usr/bin:/bin", KORVANE_EMULATOR="/nonexistent")
    assert third.returncode != 0 and "no cassette" in third.stdout


def emu_path():
    from korvane_sdk.testing import emulator_path

    return emulator_path()


def test_readme_tour_replays_in_an_empty_network_namespace(own_emulator, tmp_path):
    unshare = shutil.which("unshare")
    if unshare is None or subprocess.run([unshare, "-n", "true"], capture_output=True).returncode != 0:
        pytest.skip("needs unshare -n (root)")
    path = str(tmp_path / "tour.json")
    recorded = subprocess.run(
        [sys.executable, str(TOUR), path, "once", own_emulator.url, ADMIN_KEY],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert recorded.returncode == 0, recorded.stderr
    own_emulator.stop()
    replayed = subprocess.run(
        [unshare, "-n", sys.executable, str(TOUR), path, "none"], capture_output=True, text=True, timeout=60
    )
    assert replayed.returncode == 0, replayed.stderr
    assert replayed.stdout == recorded.stdout
    assert "Echo: Hello there" in replayed.stdout and "not found: 404" in replayed.stdout
