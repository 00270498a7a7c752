"""Rate limits per caller over fixed windows, and the counters that show them kept."""

import time

import pytest
from korvane_sdk.testing import LocalPlatform

# 5 prompt tokens, and the echo answers 6 ("Echo:" and the five words): 11 tokens a call.
CHAT = {"model": "korvane-1", "messages": [{"role": "user", "content": "one two three four five"}]}
CHAT_TOKENS = 11


def limits(emulator, **settings):
    return emulator.ok("POST", "/_emulator/limits", settings)


def counts(emulator):
    return emulator.ok("GET", "/_emulator/limits")


def window_rows(emulator, caller="admin"):
    return [row for row in counts(emulator)["windows"] if row["caller"] == caller]


def test_requests_past_the_limit_get_429_with_retry_after(emulator):
    # A minute-long window: every call below lands in the same one.
    limits(emulator, requests_per_minute=3, window_seconds=60)
    assert [emulator.call("GET", "/v1/models").status for _ in range(3)] == [200] * 3
    refused = emulator.call("GET", "/v1/models")
    assert refused.status == 429 and refused.json()["error_code"] == "RATE_LIMIT"
    assert 1 <= int(refused.headers["Retry-After"]) <= 60
    [row] = window_rows(emulator)
    assert (row["requests"], row["limited"]) == (3, 1)
    assert counts(emulator)["limited"] == 1


def test_each_caller_has_its_own_limit(emulator, tenant):
    limits(emulator, requests_per_minute=1, window_seconds=60)
    assert emulator.call("GET", "/v1/models").status == 200
    assert emulator.call("GET", "/v1/models").status == 429
    assert emulator.call("GET", "/v1/models", key=tenant["api_key"]).status == 200
    assert emulator.call("GET", "/v1/models", key=tenant["api_key"]).status == 429
    assert [row["requests"] for row in window_rows(emulator, tenant["id"])] == [1]


def test_unauthenticated_and_control_requests_are_not_limited(emulator):
    limits(emulator, requests_per_minute=1, window_seconds=60)
    for _ in range(3):
        assert emulator.call("GET", "/v1/models", key="sk-wrong").status == 401
        assert emulator.call("GET", "/_emulator/stats").status == 200
    assert emulator.call("GET", "/v1/models").status == 200


def test_tokens_limit_counts_prompt_and_answer(emulator):
    limits(emulator, tokens_per_minute=2 * CHAT_TOKENS + 1, window_seconds=60)
    assert emulator.call("POST", "/v1/chat/completions", CHAT).status == 200
    assert emulator.call("POST", "/v1/chat/completions", {**CHAT, "stream": True}).status == 200
    refused = emulator.call("POST", "/v1/chat/completions", CHAT)
    assert refused.status == 429 and int(refused.headers["Retry-After"]) >= 1
    # Its tokens were not charged; the request itself was received and counts.
    [row] = window_rows(emulator)
    assert (row["requests"], row["tokens"], row["limited"]) == (3, 2 * CHAT_TOKENS, 1)


def test_request_larger_than_any_window_is_refused_outright(emulator):
    limits(emulator, tokens_per_minute=50, window_seconds=60)
    # Waiting could never let it through: no 429 that a client would retry forever.
    reply = emulator.call("POST", "/v1/chat/completions", {**CHAT, "emulator_tokens": 100})
    assert reply.status == 400 and reply.json()["error_code"] == "REQUEST_TOO_LARGE"
    assert "Retry-After" not in reply.headers
    assert emulator.call("POST", "/v1/chat/completions", CHAT).status == 200


def test_waiting_retry_after_frees_the_window(emulator):
    limits(emulator, requests_per_minute=60, window_seconds=1)  # one request a window
    emulator.call("GET", "/v1/models")
    refused = emulator.call("GET", "/v1/models")
    while refused.status == 429:  # the first call may have opened a window that has since ended
        time.sleep(int(refused.headers["Retry-After"]))
        refused = emulator.call("GET", "/v1/models")
        assert refused.status in (200, 429)
    assert refused.status == 200


@pytest.mark.parametrize(
    "settings, per_window",
    [
        ({"requests_per_minute": 600, "window_seconds": 0.5}, {"requests_per_window": 5}),
        ({"requests_per_minute": 1, "window_seconds": 1}, {"requests_per_window": 1}),  # never below one
        ({"tokens_per_minute": 6000, "window_seconds": 2}, {"tokens_per_window": 200}),
        ({"requests_per_minute": None}, {"requests_per_window": None, "tokens_per_window": None}),
    ],
)
def test_the_minute_rate_is_shared_out_over_the_window(emulator, settings, per_window):
    answer = limits(emulator, **settings)
    assert {key: answer[key] for key in per_window} == per_window


@pytest.mark.parametrize(
    "body",
    [
        {"requests_per_minute": 0},
        {"requests_per_minute": 1.5},
        {"tokens_per_minute": "10"},
        {"window_seconds": 0},
        {"window_seconds": "60"},
        {"requests_per_minute": 5, "bogus": 1},
        [],
    ],
)
def test_bad_limit_settings_change_nothing(emulator, body):
    before = emulator.ok("GET", "/_emulator/limits")
    reply = emulator.call("POST", "/_emulator/limits", body)
    assert reply.status == 422
    after = emulator.ok("GET", "/_emulator/limits")
    assert {k: after[k] for k in ("requests_per_minute", "tokens_per_minute", "window_seconds")} == {
        k: before[k] for k in ("requests_per_minute", "tokens_per_minute", "window_seconds")
    }


def test_batch_ids_are_counted_on_every_arrival(emulator):
    limits(emulator, requests_per_minute=2, window_seconds=60)
    for batch_id in ("a", "b", "a", "c"):  # the last two are refused, and still counted
        emulator.call("POST", "/v1/chat/completions", CHAT, headers={"X-Korvane-Batch-Id": batch_id})
    emulator.call("GET", "/v1/models")  # no id: not counted
    seen = counts(emulator)
    assert seen["batch_ids"] == {"a": 2, "b": 1, "c": 1}
    assert seen["limited"] == 3


def test_reset_restores_the_limits_set_at_start_and_clears_counts():
    with LocalPlatform(requests_per_minute=2, limit_window_seconds=60) as platform:
        with platform.client() as client:
            client.chat.completions.create(**CHAT)
        assert platform.set_limits(requests_per_minute=None, window_seconds=5)["requests_per_minute"] is None
        platform.reset()
        start = platform.limit_counters()
        assert (start["requests_per_minute"], start["window_seconds"]) == (2, 60)
        assert start["windows"] == [] and start["batch_ids"] == {} and start["limited"] == 0
