"""Batch work in one process: korvane_sdk.batch against the same batch written by hand, in one run.

Against the local stand-in (korvane-emulator), each peer in a process of its own (batch_peers.py),
rounds interleaved, best round kept:
- no limit: the runner vs asyncio.gather + a semaphore over AsyncKorvane (same concurrency, same
  lines written) and vs the same over openai's AsyncOpenAI;
- under a limit: the rate the runner sustains against the rate allowed, and any 429 that surfaced
  as an error line;
- memory: the runner's peak RSS with COUNT and with 10 x COUNT requests (its input a generator).

Environment: KORVANE_BENCH_BATCH (requests, default 2000), KORVANE_BENCH_ROUNDS (default 3),
KORVANE_BENCH_CONCURRENCY (default 32).
"""

import json
import os
import pathlib
import subprocess
import sys
import tempfile

from korvane_sdk.testing import LocalPlatform

HERE = pathlib.Path(__file__).resolve().parent
COUNT = int(os.environ.get("KORVANE_BENCH_BATCH", "4000"))
ROUNDS = int(os.environ.get("KORVANE_BENCH_ROUNDS", "5"))
# openai's client is some 30 times slower here: a tenth of the requests gives its rate in bearable time.
OPENAI_COUNT = max(COUNT // 10, 200)
CONCURRENCY = int(os.environ.get("KORVANE_BENCH_CONCURRENCY", "32"))
LIMITED_PER_MINUTE = 30_000  # 500 a second: well below what the runner reaches unlimited
LIMIT_WINDOW = 2.0


def peer_run(peer, platform, count, output, per_minute=None):
    command = [
        sys.executable,
        str(HERE / "batch_peers.py"),
        peer,
        platform.url,
        platform.admin_key,
        str(count),
        str(CONCURRENCY),
        str(output),
    ]
    if per_minute:
        command.append(str(per_minute))
    if os.path.exists(output):
        os.unlink(output)
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def surfaced_429s(output):
    with open(output, encoding="utf-8") as lines:
        return sum(1 for line in lines if json.loads(line).get("error", {}).get("status") == 429)


def main():
    peers = ["runner", "gather", "openai"]
    best = dict.fromkeys(peers)
    with LocalPlatform() as platform, tempfile.TemporaryDirectory() as folder:
        output = pathlib.Path(folder) / "out.jsonl"
        peer_run("runner", platform, 200, output)  # warm-up: files cached, connections of the stand-in made
        counts = {"runner": COUNT, "gather": COUNT, "openai": OPENAI_COUNT}
        for _ in range(ROUNDS):
            for peer in peers:
                report = peer_run(peer, platform, counts[peer], output)
                assert report["failed"] == 0, report
                report["rate"] = counts[peer] / report["seconds"]
                if best[peer] is None or report["rate"] > best[peer]["rate"]:
                    best[peer] = report
        print(f"chat requests at concurrency {CONCURRENCY}, best of {ROUNDS} interleaved rounds")
        for peer in peers:
            report = best[peer]
            print(
                f"  {peer:<8} {counts[peer]:6d} requests in {report['seconds']:7.3f} s  {report['rate']:8.0f} req/s"
                f"  ({best['runner']['rate'] / report['rate']:5.2f}x the runner's time per request)"
            )
        overhead = best["gather"]["rate"] / best["runner"]["rate"] - 1
        print(f"  runner's time over gather + semaphore: {100 * overhead:+.1f}% (goal: at most +10%)")
        print(f"  runner vs AsyncOpenAI: {best['runner']['rate'] / best['openai']['rate']:.1f}x faster (goal: 5x)")

        limited_count = int(LIMITED_PER_MINUTE / 60 * 8)  # about 8 s at the allowed rate
        allowed = LIMITED_PER_MINUTE / 60
        # The same limit held by the stand-in too, counted over fixed windows of LIMIT_WINDOW seconds.
        with LocalPlatform(requests_per_minute=int(LIMITED_PER_MINUTE), limit_window_seconds=LIMIT_WINDOW) as held:
            report = peer_run("runner", held, limited_count, output, LIMITED_PER_MINUTE)
            refused = held.limit_counters()["limited"]
        print(
            f"under {LIMITED_PER_MINUTE:.0f} requests/minute ({allowed:.0f}/s, the stand-in holding it over"
            f" {LIMIT_WINDOW:g} s windows): {limited_count} requests in {report['seconds']:.2f} s,"
            f" {limited_count / report['seconds']:.0f}/s ({100 * limited_count / report['seconds'] / allowed:.1f}%"
            f" of the allowed rate); 429s: {refused} answered by the stand-in and waited out,"
            f" {surfaced_429s(output)} surfaced"
        )

        small = peer_run("runner", platform, COUNT, output)
        large = peer_run("runner", platform, 10 * COUNT, output)
        print(
            f"runner peak RSS: {small['max_rss_kib'] / 1024:.1f} MiB for {COUNT} requests,"
            f" {large['max_rss_kib'] / 1024:.1f} MiB for {10 * COUNT}"
            f" ({(large['max_rss_kib'] - small['max_rss_kib']) / 1024:+.1f} MiB)"
        )


if __name__ == "__main__":
    main()
