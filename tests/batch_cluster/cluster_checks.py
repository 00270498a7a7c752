"""What every cluster run must show: each id answered once, nothing refused, the limit kept."""

import json

CHAT_BODY = {"model": "korvane-1-mini", "max_tokens": 4}
REQUESTS = 2000
# The stand-in counts over windows of this many seconds, each admitting its share of the per-minute rate.
LIMIT = {"requests_per_minute": 12000, "limit_window_seconds": 5}


def requests(count=REQUESTS):
    return [
        {"id": f"req-{i}", "body": {**CHAT_BODY, "messages": [{"role": "user", "content": f"question {i}"}]}}
        for i in range(count)
    ]


def check_run(platform, rows, count=REQUESTS):
    """rows: dicts with id, response and error (JSON text or None)."""
    ids = [row["id"] for row in rows]
    assert len(ids) == count and len(set(ids)) == count  # each answered exactly once
    errors = [row["error"] for row in rows if row["error"] is not None]
    assert errors == []  # no 429 (or anything else) reached the caller
    for row in rows[:5]:
        answer = json.loads(row["response"])
        number = row["id"].split("-")[1]
        assert answer["choices"][0]["message"]["content"] == f"Echo: question {number}"  # its own answer
    seen = platform.limit_counters()
    assert seen["limited"] == 0  # the platform never had to refuse: the shared limit was kept
    assert all(row["requests"] <= seen["requests_per_window"] for row in seen["windows"])
    assert sum(row["requests"] for row in seen["windows"]) == count
    assert len(seen["batch_ids"]) == count and set(seen["batch_ids"].values()) == {1}  # no id sent twice
