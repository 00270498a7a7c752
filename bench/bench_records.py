"""Records: building from dicts and JSON bytes, dumping, side by side with equivalent pydantic v2 models;
and what importing korvane_sdk.models costs over a bare interpreter.

Run with `./run bench records`. Times are per operation, best of several rounds, measured as CPU time of
this process so that other work on a shared machine disturbs the figures less.
"""

import json
import re
import subprocess
import sys
import time
import timeit

import pydantic
import pydantic_twins as twins
from korvane_sdk import models

ROUNDS = 9


CHUNK = {
    "id": "chatcmpl-8x2a",
    "object": "chat.completion.chunk",
    "created": 1718000000,
    "model": "korvane-large",
    "choices": [{"index": 0, "delta": {"content": "Hello"}, "finish_reason": None}],
}

TENANT = {
    "id": "ten_01HX",
    "name": "Acme Corp",
    "slug": "acme",
    "plan": "enterprise",
    "is_active": True,
    "created_at": "2024-01-15T10:30:00Z",
    "updated_at": "2024-06-01T08:00:00.250+02:00",
    "monthly_tokens_limit": 5_000_000,
    "monthly_tokens_used": 123_456,
    "monthly_requests_limit": None,
    "monthly_requests_used": 789,
    "features": ["rerank", "fine-tuning"],
    "metadata": {"region": "eu", "tier": 3},
}

COMPLETION = {
    "id": "chatcmpl-8x2b",
    "object": "chat.completion",
    "created": 1718000000,
    "model": "korvane-large",
    "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hi there"}, "finish_reason": "stop"}],
    "usage": {"prompt_tokens": 12, "completion_tokens": 3, "total_tokens": 15},
}

CASES = [
    ("ChatCompletionChunk", models.ChatCompletionChunk, twins.ChatCompletionChunk, CHUNK),
    ("Tenant", models.Tenant, twins.Tenant, TENANT),
    ("ChatCompletion", models.ChatCompletion, twins.ChatCompletion, COMPLETION),
]


OPERATIONS = [
    ("Cls(**dict)", "cls(**data)"),
    ("model_validate(dict)", "cls.model_validate(data)"),
    ("model_validate_json(bytes)", "cls.model_validate_json(raw)"),
    ("model_dump()", "record.model_dump()"),
    ("model_dump(mode='json')", "record.model_dump(mode='json')"),
    ("model_dump_json()", "record.model_dump_json()"),
]


def timer_for(stmt: str, cls, data) -> timeit.Timer:
    names = {"cls": cls, "data": data, "raw": json.dumps(data).encode(), "record": cls(**data)}
    return timeit.Timer(stmt, globals=names, timer=time.process_time)


def per_op_pair(stmt: str, ours, theirs, data, number: int) -> tuple[float, float]:
    """Best time of one operation in microseconds for each side, the rounds of both interleaved."""
    a, b = timer_for(stmt, ours, data), timer_for(stmt, theirs, data)
    best_a = best_b = float("inf")
    for _ in range(ROUNDS):
        best_a = min(best_a, a.timeit(number))
        best_b = min(best_b, b.timeit(number))
    return best_a / number * 1e6, best_b / number * 1e6


def check_same_results() -> None:
    """Both sides must build and dump the same data, or the comparison means nothing."""
    for _, ours, theirs, data in CASES:
        assert ours(**data).model_dump(mode="json") == theirs(**data).model_dump(mode="json"), ours.__name__


def bench_operations() -> None:
    number = 20_000
    print(f"{'record':<20} {'operation':<27} {'korvane_sdk µs':>15} {'pydantic µs':>12} {'pydantic/ours':>14}")
    for name, ours, theirs, data in CASES:
        for label, stmt in OPERATIONS:
            a, b = per_op_pair(stmt, ours, theirs, data, number)
            print(f"{name:<20} {label:<27} {a:>15.3f} {b:>12.3f} {b / a:>13.1f}x")


def import_cost() -> None:
    """Wall time of a fresh interpreter importing korvane_sdk.models, minus a bare interpreter."""

    def run(code: str) -> float:
        times = []
        for _ in range(15):
            out = subprocess.run(
                [sys.executable, "-c", f"import time; t=time.perf_counter(); {code}; print(time.perf_counter()-t)"],
                capture_output=True,
                text=True,
                check=True,
            )
            times.append(float(out.stdout))
        return min(times) * 1e3

    bare = run("pass")
    loaded = run("import korvane_sdk.models")
    report = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", "import korvane_sdk.models"],
        capture_output=True,
        text=True,
        check=True,
    ).stderr
    cumulative = {m.group(2).strip(): int(m.group(1)) for m in re.finditer(r"\|\s*(\d+)\s*\|\s*(.+)$", report, re.M)}
    print(
        f"\nimport korvane_sdk.models in a fresh interpreter: {loaded - bare:.2f} ms "
        f"(wall time around the import statement, best of 15)"
    )
    for module in ("korvane_sdk._core", "korvane_sdk"):
        if module in cumulative:
            print(f"  -X importtime cumulative {module}: {cumulative[module] / 1000:.2f} ms")
    print(
        f"  datetime imported at import time: {'datetime' in cumulative}; "
        f"pydantic imported: {any(k.startswith('pydantic') for k in cumulative)}"
    )


def main() -> None:
    print(f"pydantic {pydantic.VERSION}, Python {sys.version.split()[0]}")
    check_same_results()
    bench_operations()
    import_cost()


if __name__ == "__main__":
    main()
