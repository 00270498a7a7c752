"""The pieces of a batch run on their own: the token bucket's arithmetic, the result file's resume
rules, and the checks that refuse bad input before anything is sent."""

import asyncio

import pytest
from chat_server import requests_of
from korvane_sdk.batch import RateLimits, TokenBucket, estimate_tokens
from korvane_sdk.batch._files import ResultFile


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def test_token_bucket_waits_refills_settles_and_pauses():
    clock = Clock()
    bucket = TokenBucket(RateLimits(requests_per_minute=60, tokens_per_minute=600), clock=clock)
    run = asyncio.run

    run(bucket.acquire(30))  # a full bucket lets a request above the burst (10 tokens) through
    assert bucket._wait(1) == pytest.approx(2.1)  # 20 tokens of debt and 1 more, at 10 a second
    clock.now += 1.0
    assert bucket._wait(1) == pytest.approx(1.1)
    run(bucket.settle(30, 5))  # the answer used 5: 25 back, capped at the burst
    assert bucket._wait(1) == 0.0
    run(bucket.acquire(1))
    assert bucket._wait(1) == pytest.approx(1.0)  # now the request count is what waits
    run(bucket.pause_all(3))
    assert bucket._wait(1) == pytest.approx(3.0)
    clock.now += 3.0
    assert bucket._wait(1) == pytest.approx(1.0)  # nothing refilled during the pause


@pytest.mark.parametrize(
    ("body", "tokens"),
    [
        ({"model": "m", "messages": [{"role": "user", "content": "x" * 9}], "max_tokens": 10}, 3 + 10),
        ({"model": "m", "messages": [{"role": "user", "content": "abcd"}], "max_tokens": 5, "n": 3}, 1 + 15),
        ({"model": "m", "messages": [{"role": "user", "content": [{"type": "text", "text": "abcdefgh"}]}]}, 2 + 256),
        ({"model": "m", "messages": [], "max_tokens": None}, 256),
    ],
)
def test_estimate_tokens(body, tokens):
    assert estimate_tokens(body) == tokens


LINE_A = b'{"id": "a", "response": {}}\n'
LINE_B = b'{"id": "b", "error": {"type": "ServerError", "status": 503, "message": "busy"}}\n'


@pytest.mark.parametrize(
    ("existing", "done", "left"),
    [
        (b"", set(), b""),
        (LINE_A + LINE_B, {"a", "b"}, LINE_A + LINE_B),
        (LINE_A + b'{"id": "b", "resp', {"a"}, LINE_A),  # torn by a kill: cut off
        (LINE_A + LINE_B[:-1], {"a", "b"}, LINE_A + LINE_B),  # whole but its end of line: kept
        (LINE_A + b"\n" + LINE_B, {"a", "b"}, LINE_A + b"\n" + LINE_B),
    ],
    ids=["empty", "whole", "torn", "unended", "blank"],
)
def test_result_file_resumes_from_whole_lines(tmp_path, existing, done, left):
    path = tmp_path / "out.jsonl"
    path.write_bytes(existing)
    results = ResultFile(path)
    try:
        assert results.done_ids == done
        results.write(b'{"id": "c", "response": {}}\n')
    finally:
        results.close()
    assert path.read_bytes() == left + b'{"id": "c", "response": {}}\n'


@pytest.mark.parametrize("middle", [b"not json\n", b'{"no": "id"}\n'])
def test_result_file_refuses_a_foreign_line_before_the_end(tmp_path, middle):
    path = tmp_path / "out.jsonl"
    path.write_bytes(LINE_A + middle + LINE_B)
    with pytest.raises(ValueError, match="line 2"):
        ResultFile(path)
    assert path.read_bytes() == LINE_A + middle + LINE_B


def test_a_second_run_on_the_same_output_is_refused(tmp_path):
    path = tmp_path / "out.jsonl"
    first = ResultFile(path)
    try:
        with pytest.raises(RuntimeError, match="another batch run"):
            ResultFile(path)
    finally:
        first.close()
    ResultFile(path).close()


GOOD = {"model": "m", "messages": []}


@pytest.mark.parametrize(
    ("bad", "complaint"),
    [
        ("r1", "a mapping"),
        ({"body": GOOD}, "'id'"),
        ({"id": 7, "body": GOOD}, "'id'"),
        ({"id": "", "body": GOOD}, "'id'"),
        ({"id": "a\r\nX-Other: 1", "body": GOOD}, "control character"),
        ({"id": "half \ud800", "body": GOOD}, "not valid text"),
        ({"id": "x"}, "'body'"),
        ({"id": "x", "body": {**GOOD, "stream": True}}, "stream"),
    ],
)
def test_a_bad_request_stops_the_run_unsent(chat_server, batch_run, tmp_path, bad, complaint):
    server = chat_server()
    requests = [*requests_of(3), bad, *requests_of(3, prefix="late")]
    with pytest.raises(ValueError, match=complaint):
        batch_run(server.url, requests, tmp_path / "out.jsonl", concurrency=1)
    assert set(server.counts) == {"r0", "r1", "r2"}  # what came before was sent and written
    assert (tmp_path / "out.jsonl").read_bytes().count(b"\n") == 3


def test_a_jsonl_input_line_that_is_not_json_is_named(chat_server, batch_run, tmp_path):
    server = chat_server()
    source = tmp_path / "in.jsonl"
    source.write_text('{"id": "a", "body": {"model": "m", "messages": []}}\n\n{"id": "b",\n')
    with pytest.raises(ValueError, match="line 3"):
        batch_run(server.url, str(source), tmp_path / "out.jsonl")


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"concurrency": 0}, ValueError),
        ({"limits": RateLimits(requests_per_minute=1), "limiter": TokenBucket()}, ValueError),
        ({"limits": {"requests_per_minute": 1}}, TypeError),
        ({"limiter": object()}, TypeError),
    ],
)
def test_bad_options_are_refused_unsent(chat_server, batch_run, tmp_path, options, error):
    server = chat_server()
    with pytest.raises(error):
        batch_run(server.url, requests_of(2), tmp_path / "out.jsonl", **options)
    assert not server.counts


@pytest.mark.parametrize("value", [0, -5, float("nan"), float("inf"), True, "60"])
def test_rate_limits_take_positive_numbers(value):
    with pytest.raises((ValueError, TypeError)):
        RateLimits(requests_per_minute=value)


def test_a_missing_input_or_the_input_as_output_is_refused_untouched(chat_server, batch_run, tmp_path):
    server = chat_server()
    source = tmp_path / "in.jsonl"
    with pytest.raises(FileNotFoundError):
        batch_run(server.url, str(source), tmp_path / "out.jsonl")
    assert not (tmp_path / "out.jsonl").exists()
    source.write_text('{"id": "a", "body": {"model": "m", "messages": []}}\n')
    with pytest.raises(ValueError, match="is the input"):
        batch_run(server.url, str(source), source)
    assert source.read_text() == '{"id": "a", "body": {"model": "m", "messages": []}}\n'
    assert not server.counts
