"""JSON codec: the native reader and writer against json (and orjson when installed).

Parse: one tenant list of 10,000 objects, and a stream of small chat chunk objects.
Write: a chat completion request payload. Prints time per operation and the ratios.
"""

import json
import timeit

from korvane_sdk._core import _json_dumps, _json_loads

try:
    import orjson
except ImportError:  # optional peer
    orjson = None


def tenant(i):
    return {
        "id": f"tn_{i:08x}",
        "name": f"Tenant number {i}",
        "slug": f"tenant-{i}",
        "is_active": i % 3 != 0,
        "plan": ["free", "pro", "enterprise"][i % 3],
        "monthly_tokens_limit": 1_000_000 * (i % 7 + 1),
        "tokens_used": i * 137,
        "usage_ratio": (i * 137) / (1_000_000 * (i % 7 + 1)),
        "created_at": f"2024-{i % 12 + 1:02d}-{i % 28 + 1:02d}T12:34:56Z",
        "settings": {"region": "eu-west", "rerank_tier": "standard", "allow_training": i % 2 == 0},
        "tags": ["beta", f"group-{i % 10}"],
        "owner_email": None if i % 5 == 0 else f"owner{i}@example.com",
    }


def chunk(i):
    return {
        "id": "chatcmpl-8Zx3abcDEF",
        "object": "chat.completion.chunk",
        "created": 1_700_000_000 + i,
        "model": "korvane-large",
        "choices": [{"index": 0, "delta": {"content": f" token{i}"}, "finish_reason": None}],
    }


def chat_payload():
    history = []
    for turn in range(8):
        history.append(
            {"role": "user", "content": f"Question {turn}: how does reranking tier {turn} change latency? ünïcødé ✓"}
        )
        history.append({"role": "assistant", "content": "It trades latency for quality.\n" * 5})
    return {
        "model": "korvane-large",
        "messages": [{"role": "system", "content": "You are a helpful assistant."}] + history,
        "temperature": 0.7,
        "stream": False,
        "n": 1,
        "max_tokens": 512,
        "top_p": 0.95,
        "stop": ["\n\n"],
        "rerank_tier": "premium",
        "rerank_k": 20,
        "tenant_id": "tn_0000002a",
    }


def per_op(fn, budget=0.4):
    """Best per-call time in seconds over a few repeats, each about `budget` seconds long."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, int(number * budget / 0.2))
    return min(timer.repeat(repeat=5, number=number)) / number


def report(title, candidates):
    times = {name: per_op(fn) for name, fn in candidates}
    ours = times["korvane"]
    print(f"{title}")
    for name, seconds in times.items():
        ratio = "" if name == "korvane" else f"   {seconds / ours:5.2f}x korvane's time"
        print(f"  {name:<10} {seconds * 1e6:12.2f} us/op{ratio}")


def main():
    tenants_text = json.dumps([tenant(i) for i in range(10_000)]).encode()
    chunk_texts = [json.dumps(chunk(i)).encode() for i in range(1000)]
    payload = chat_payload()
    assert _json_loads(tenants_text) == json.loads(tenants_text)
    assert _json_dumps(payload) == json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode()

    parse_list = [("korvane", lambda: _json_loads(tenants_text)), ("json", lambda: json.loads(tenants_text))]
    parse_chunks = [
        ("korvane", lambda: [_json_loads(t) for t in chunk_texts]),
        ("json", lambda: [json.loads(t) for t in chunk_texts]),
    ]
    write = [
        ("korvane", lambda: _json_dumps(payload)),
        ("json", lambda: json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode()),
    ]
    if orjson is not None:
        parse_list.append(("orjson", lambda: orjson.loads(tenants_text)))
        parse_chunks.append(("orjson", lambda: [orjson.loads(t) for t in chunk_texts]))
        write.append(("orjson", lambda: orjson.dumps(payload)))

    print(
        f"tenant list: {len(tenants_text) / 1e6:.2f} MB; chunks: 1000 of ~{len(chunk_texts[0])} B; "
        f"chat payload: {len(_json_dumps(payload))} B"
    )
    report("parse 10,000-tenant list", parse_list)
    report("parse 1000 chunk objects (time for all 1000)", parse_chunks)
    report("write chat payload", write)


if __name__ == "__main__":
    main()
