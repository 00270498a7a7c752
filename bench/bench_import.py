"""Import cost: what `import korvane_sdk.models` (and the whole package) adds to a bare interpreter.

Each statement runs in a fresh interpreter, interleaved with `python -c pass` in the same loop so
both see the same machine load; the best run of each is kept (the least disturbed one) and the
difference is the import's own cost. With valgrind installed, the instruction counts of one run of
each (callgrind) give the same difference without the noise of a shared machine.

KORVANE_BENCH_PYTHONS (colon-separated): other interpreters whose first client to count too.
"""

import os
import subprocess
import sys
import time

import callgrind

STATEMENTS = [
    ("pass", "pass"),
    ("import korvane_sdk.models", "import korvane_sdk.models"),
    ("import korvane_sdk + client", "import korvane_sdk; korvane_sdk.KorvaneClient; korvane_sdk.KorvaneError"),
]
# The first client loads libcurl and what it needs (the dynamic loader's work is most of its cost);
# a second one costs only itself. Counted with callgrind for each interpreter in KORVANE_BENCH_PYTHONS
# too (an environment with a wheel of another build), so builds compare in one run.
CLIENT = "korvane_sdk.Korvane(api_key='sk-bench', api_url='http://127.0.0.1:9')"
CLIENT_STATEMENTS = [
    ("import korvane_sdk", "import korvane_sdk"),
    ("+ first client", f"import korvane_sdk; {CLIENT}"),
    ("+ second client", f"import korvane_sdk; {CLIENT}; {CLIENT}"),
]
ROUNDS = 60


def wall_times():
    best = {label: float("inf") for label, _ in STATEMENTS}
    for _ in range(ROUNDS):
        for label, code in STATEMENTS:
            start = time.perf_counter()
            subprocess.run([sys.executable, "-c", code], check=True)
            best[label] = min(best[label], time.perf_counter() - start)
    return best


def instructions(code):
    """Instructions one run of `python -c code` executes, or None without valgrind."""
    return callgrind.instructions([sys.executable, "-c", code])


def client_instructions(pythons):
    print("instructions of the first and a second client (callgrind, one run each)")
    for python in pythons:
        counts = [callgrind.instructions([python, "-c", code]) for _, code in CLIENT_STATEMENTS]
        base, first, second = counts
        print(f"  {python}")
        print(f"    {CLIENT_STATEMENTS[0][0]:<28} {base / 1e6:8.2f} M")
        print(f"    {CLIENT_STATEMENTS[1][0]:<28} {first / 1e6:8.2f} M   +{(first - base) / 1e6:5.2f} M over import")
        print(f"    {CLIENT_STATEMENTS[2][0]:<28} {second / 1e6:8.2f} M   +{(second - first) / 1e6:5.2f} M over one")


def main():
    # One warm-up run of each: compiled bytecode and the files are then in the page cache.
    for _, code in STATEMENTS:
        subprocess.run([sys.executable, "-c", code], check=True)
    best = wall_times()
    bare = best["pass"]
    print(f"whole-process runs, best of {ROUNDS} each, interleaved")
    for label, _ in STATEMENTS:
        extra = (
            ""
            if label == "pass"
            else f"   +{(best[label] - bare) * 1e3:5.2f} ms over pass ({best[label] / bare:4.2f}x)"
        )
        print(f"  {label:<30} {best[label] * 1e3:8.2f} ms{extra}")
    counts = {label: instructions(code) for label, code in STATEMENTS}
    if counts["pass"] is None:
        print("instruction counts: valgrind not installed")
        return
    print("instructions executed (callgrind, one run each)")
    for label, _ in STATEMENTS:
        extra = "" if label == "pass" else f"   +{(counts[label] - counts['pass']) / 1e6:5.2f} M over pass"
        print(f"  {label:<30} {counts[label] / 1e6:8.2f} M{extra}")
    others = [python for python in os.environ.get("KORVANE_BENCH_PYTHONS", "").split(":") if python]
    client_instructions([sys.executable, *others])


if __name__ == "__main__":
    main()
