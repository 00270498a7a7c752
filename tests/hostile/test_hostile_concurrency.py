"""One client shared by many threads: no crash, no answer given to the wrong caller, the GIL free
while waiting on the network."""

import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from korvane_sdk import KorvaneClient, http
from korvane_sdk import exceptions as ex
from rawserver import reply
from support.emulator import ADMIN_KEY

THREADS = 8


def in_threads(work, count=THREADS):
    """Runs work(i) for each i on its own thread, all started together; returns the results."""
    barrier = threading.Barrier(count)

    def run(i):
        barrier.wait(timeout=10)
        return work(i)

    with ThreadPoolExecutor(count) as pool:
        return list(pool.map(run, range(count)))


def ask(client, words, stream):
    answer = client.chat.completions.create(
        model="korvane-1", messages=[{"role": "user", "content": words}], stream=stream
    )
    if stream:
        return "".join(chunk.choices[0]["delta"].get("content") or "" for chunk in answer if chunk.choices)
    return answer.choices[0].message.content


def test_whole_and_streamed_answers_reach_their_own_callers(client):
    model = client.list_models()[0].id

    def work(i):
        seen = []
        for round_ in range(6):
            words = f"thread {i} round {round_}"
            answer = client.chat.completions.create(
                model=model, messages=[{"role": "user", "content": words}], stream=round_ % 2 == 1
            )
            if round_ % 2:
                text = "".join(c.choices[0]["delta"].get("content") or "" for c in answer if c.choices)
            else:
                text = answer.choices[0].message.content
            seen.append(words in text)
            tenant = client.tenants.create(f"t-{i}-{round_}")
            seen.append(client.tenants.get(tenant.id).name == f"t-{i}-{round_}")
        return seen

    assert all(all(seen) for seen in in_threads(work))


def test_dropped_streams_and_uploads_from_many_threads(client, tmp_path):
    model = client.list_models()[0].id

    def work(i):
        stream = client.chat.completions.create(
            model=model, messages=[{"role": "user", "content": "a b c d"}], stream=True
        )
        next(stream)
        del stream  # dropped half way: its connection must not come back to another caller dirty
        path = tmp_path / f"data-{i}.jsonl"
        path.write_text("".join(f'{{"prompt": "p{i}-{n}", "completion": "c"}}\n' for n in range(10 + i)))
        dataset = client.training.create_dataset(f"d{i}")
        uploaded = client.training.upload_dataset(dataset.id, str(path))
        return uploaded.num_examples, uploaded.size_bytes, path.stat().st_size, i

    for examples, size, expected_size, i in in_threads(work):
        assert (examples, size) == (10 + i, expected_size)


def test_close_racing_with_calls(emulator):
    client = KorvaneClient(api_key=ADMIN_KEY, api_url=emulator.url, proxy_url=emulator.url, timeout=5)
    started = threading.Barrier(THREADS + 1)
    outcomes = []

    def work(i):
        started.wait(timeout=10)
        for _ in range(30):
            try:
                if i % 2:
                    list(
                        client.chat.completions.create(
                            model="korvane-1", messages=[{"role": "user", "content": "x y"}], stream=True
                        )
                    )
                else:
                    client.tenants.list()
                outcomes.append("ok")
            except (ex.KorvaneError, http.RequestException) as error:
                outcomes.append(type(error).__name__)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    started.wait(timeout=10)
    client.close()
    for thread in threads:
        thread.join(timeout=30)
    assert not any(thread.is_alive() for thread in threads)
    assert len(outcomes) == THREADS * 30
    # After close() nothing more goes out.
    seen = emulator.requests()
    with pytest.raises((ex.KorvaneError, http.RequestException)):
        client.tenants.list()
    assert emulator.requests() == seen


SSE = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nContent-Length: %d\r\n\r\n%s"
CHUNK = (
    b'data: {"id": "c", "object": "chat.completion.chunk", "created": 1, "model": "m", '
    b'"choices": [{"index": 0, "delta": {"content": "late"}, "finish_reason": null}]}\n\ndata: [DONE]\n\n'
)
WHOLE = (
    b'{"id": "c", "object": "chat.completion", "created": 1, "model": "m", "choices": [{"index": 0, '
    b'"message": {"role": "assistant", "content": "late"}, "finish_reason": "stop"}]}'
)


@pytest.mark.parametrize("stream", [False, True])
def test_python_threads_run_while_a_call_waits(raw_server, client_for, stream):
    """The answer comes only once a pure-Python thread has seen the request and counted on: with
    the GIL held during the wait, neither could run and the call would time out."""
    release = threading.Event()

    def handler(conn, server):
        if server.receive(conn) is None:
            return
        release.wait(10)
        server.send(conn, SSE % (len(CHUNK), CHUNK) if stream else reply(WHOLE))

    server = raw_server(handler)
    counted = []

    def watcher():
        while not server.requests:
            threading.Event().wait(0.005)
        counted.append(sum(1 for _ in range(100_000)))
        release.set()

    thread = threading.Thread(target=watcher)
    thread.start()
    client = client_for(server.url, timeout=5)
    assert ask(client, "x", stream) == "late"
    thread.join(timeout=10)
    assert counted == [100_000]
