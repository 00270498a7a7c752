"""Whole batch runs: result and error lines, retries, 429 pauses, limits, streamed input, resume."""

import asyncio
import json
import os
import signal
import subprocess
import sys
import time

import pytest
from chat_server import requests_of
from korvane_sdk.aio import AsyncKorvane
from korvane_sdk.batch import RateLimits, aresults, estimate_tokens
from korvane_sdk.exceptions import AuthenticationError


def lines_of(path):
    with open(path, encoding="utf-8") as output:
        return [json.loads(line) for line in output]


def test_each_request_gets_one_line_answers_errors_and_retries(chat_server, batch_run, tmp_path):
    server = chat_server()
    server.script = {"r3": [503, 502], "r4": [500] * 10}  # r3 answered on its third try; r4 never
    requests = requests_of(12)
    requests.append({"id": "bad-model", "body": {"model": "refused", "messages": []}})
    requests.append({"id": "no-model", "body": {"messages": []}})
    requests.append({"id": "résumé-€", "body": {"model": "m", "messages": []}})
    output = tmp_path / "out.jsonl"

    summary = batch_run(server.url, requests, output, concurrency=4)

    lines = {line["id"]: line for line in lines_of(output)}
    assert len(lines) == len(requests) == len(lines_of(output))
    assert lines["r7"]["response"]["choices"][0]["message"]["content"] == "echo q7"
    assert lines["r7"]["response"]["usage"]["total_tokens"] == 12
    assert "response" in lines["r3"] and server.counts["r3"] == 3
    assert lines["r4"]["error"] == {"type": "ServerError", "status": 500, "message": "busy (500)"}
    assert server.counts["r4"] == 5  # retried within its bound
    assert lines["bad-model"]["error"] == {"type": "InvalidRequestError", "status": 400, "message": "no such model"}
    assert server.counts["bad-model"] == 1  # a refused request is not repeated
    assert lines["no-model"]["error"]["type"] == "TypeError" and server.counts["no-model"] == 0
    assert "response" in lines["résumé-€"] and server.counts["résumé-€"] == 1
    assert (summary.answered, summary.failed, summary.skipped) == (12, 3, 0)


@pytest.mark.parametrize("retry_after", ["1", ""])
def test_a_429_pauses_every_request_then_each_is_answered_once(chat_server, batch_run, tmp_path, retry_after):
    server = chat_server()
    server.rate_limit_first = 4  # the first wave of 4 all refused
    server.retry_after = retry_after
    output = tmp_path / "out.jsonl"

    summary = batch_run(server.url, requests_of(16), output, concurrency=4)

    assert (summary.answered, summary.failed) == (16, 0)
    assert sorted(line["id"] for line in lines_of(output)) == sorted(f"r{i}" for i in range(16))
    if retry_after:
        # Nothing was sent during the pause the first 429 asked for.
        after = [arrived for arrived, _, _ in server.arrivals[4:]]
        assert min(after) >= server.limited_at[0] + 1.0


@pytest.mark.parametrize(
    ("limits", "weight"),
    [
        (RateLimits(requests_per_minute=1200), lambda body: 1),
        (RateLimits(tokens_per_minute=60_000), estimate_tokens),
    ],
    ids=["requests", "tokens"],
)
def test_limits_hold_in_every_window(chat_server, batch_run, tmp_path, limits, weight):
    server = chat_server()
    per_minute = limits.requests_per_minute or limits.tokens_per_minute
    requests = requests_of(60, max_tokens=40)
    server.usage_tokens = estimate_tokens(requests[0]["body"])  # the estimate is right: nothing to settle

    batch_run(server.url, requests, tmp_path / "out.jsonl", concurrency=16, limits=limits)

    # In any one second: at most a second's allowance, the burst (another second's) and one request,
    # with a tenth of a second's allowance for requests taking longer to arrive than the next ones.
    arrivals = [(at, weight(body)) for at, _, body in server.arrivals]
    heaviest = max(w for _, w in arrivals)
    for start, _ in arrivals:
        in_window = sum(w for at, w in arrivals if start <= at < start + 1.0)
        assert in_window <= 2.1 * per_minute / 60 + heaviest


def test_input_is_pulled_only_as_requests_go_out(chat_server, batch_run, tmp_path):
    server = chat_server()
    output = tmp_path / "out.jsonl"
    output.touch()
    ahead = []

    def endless_looking():
        for i in range(150):
            with open(output, "rb") as done:
                ahead.append(i - sum(1 for _ in done))  # pulled but not yet written
            yield {"id": f"g{i}", "body": {"model": "m", "messages": [{"role": "user", "content": "x"}]}}

    summary = batch_run(server.url, endless_looking(), output, concurrency=8)

    assert summary.answered == 150
    assert max(ahead) <= 8


def test_aresults_leaves_an_endless_input_when_the_caller_stops(chat_server):
    server = chat_server()
    pulled = []

    def endless():
        i = 0
        while True:
            if i == 10_000:  # a runner reading ahead fails here rather than filling the memory
                raise AssertionError("the input was read far ahead of the answers")
            pulled.append(i)
            yield {"id": f"e{i}", "body": {"model": "m", "messages": [{"role": "user", "content": "x"}]}}
            i += 1

    async def first_results():
        seen = []
        async with AsyncKorvane(api_key="k", api_url=server.url, proxy_url=server.url) as client:
            results = aresults(endless(), client=client, concurrency=4)
            async for request_id, response, error in results:
                assert error is None and response.choices[0].message.content == "echo x"
                seen.append(request_id)
                if len(seen) == 30:
                    break
            await results.aclose()
        return seen

    seen = asyncio.run(first_results())
    assert len(set(seen)) == 30
    assert len(pulled) <= 30 + 2 * 4 + 1  # in flight, and answered but not yet taken
    assert all(count == 1 for count in server.counts.values())


RUNNER = """
import sys
from korvane_sdk import Korvane
from korvane_sdk.batch import run
url, requests, output = sys.argv[1:]
run(requests, output, client=Korvane(api_key="k", api_url=url, proxy_url=url), concurrency=8, progress=False)
"""


def test_a_killed_run_resumes_without_sending_an_answered_request_again(chat_server, batch_run, tmp_path):
    server = chat_server(delay=0.05)
    requests = requests_of(300)
    source = tmp_path / "in.jsonl"
    source.write_text("".join(json.dumps(r) + "\n" for r in requests))
    output = tmp_path / "out.jsonl"

    runner = subprocess.Popen([sys.executable, "-c", RUNNER, server.url, str(source), str(output)])
    try:
        while not output.exists() or output.read_bytes().count(b"\n") < 40:
            assert runner.poll() is None, "the run ended before it could be killed"
            time.sleep(0.01)
        os.kill(runner.pid, signal.SIGKILL)
    finally:
        runner.wait()
    first = lines_of(output)
    assert 40 <= len(first) < 300
    with open(output, "ab") as torn:  # a line cut short by the kill
        torn.write(b'{"id": "r299", "resp')

    summary = batch_run(server.url, str(source), output, concurrency=8)

    final = lines_of(output)
    assert sorted(line["id"] for line in final) == sorted(r["id"] for r in requests)
    assert all("response" in line for line in final)
    assert all(server.counts[line["id"]] == 1 for line in first)
    assert (summary.skipped, summary.answered) == (len(first), 300 - len(first))


@pytest.mark.parametrize("progress", [True, False])
def test_progress_and_summary_on_stderr_only_when_asked(chat_server, batch_run, tmp_path, capsys, progress):
    server = chat_server()
    batch_run(server.url, requests_of(5), tmp_path / "out.jsonl", progress=progress)
    shown = capsys.readouterr().err
    if progress:
        assert "req/s" in shown and "batch: 5 answered, 0 failed, 0 skipped" in shown
    else:
        assert shown == ""


class RecordingLimiter:
    """A limiter of the caller's: notes what the runner asks of it."""

    def __init__(self):
        self.acquired, self.settled, self.paused = [], [], []

    async def acquire(self, tokens):
        self.acquired.append(tokens)

    async def settle(self, estimated, actual):
        self.settled.append((estimated, actual))

    async def pause_all(self, seconds):
        self.paused.append(seconds)


def test_a_limiter_of_the_callers_is_asked_for_each_send(chat_server, batch_run, tmp_path):
    server = chat_server(usage_tokens=7)
    server.rate_limit_first = 1
    server.retry_after = "2"
    requests = requests_of(5, max_tokens=20)
    limiter = RecordingLimiter()

    batch_run(server.url, requests, tmp_path / "out.jsonl", concurrency=1, limiter=limiter)

    estimate = estimate_tokens(requests[0]["body"])
    assert limiter.acquired == [estimate] * 6  # the refused first send, then five
    assert limiter.paused == [2.0]
    assert limiter.settled == [(estimate, 0)] + [(estimate, 7)] * 5


def test_a_refused_key_stops_the_run_instead_of_failing_every_request(chat_server, batch_run, tmp_path):
    server = chat_server()
    server.refuse_key = True
    output = tmp_path / "out.jsonl"
    with pytest.raises(AuthenticationError):
        batch_run(server.url, requests_of(50), output, concurrency=4)
    assert output.read_bytes() == b""  # nothing marked done: a run with the right key does them all
    assert sum(server.counts.values()) <= 4
