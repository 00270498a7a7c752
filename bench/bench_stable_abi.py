"""What a stable-ABI (cp312-abi3) build of the module would cost, in instructions per stream chunk, per
whole chat call and per list of 10,000 tenants.

The module uses C API outside the limited API on its hot paths, so it cannot yet be built as abi3.
Measured instead, with callgrind: (1) each such call and nanobind's own call path, in a probe module
(bench/stable_abi/) built twice from one source, as today and as abi3 with the nearest limited
replacement; (2) how often the real module makes each of those calls per chunk, call and list (calls
counted by callgrind in the runs of bench_instructions.py). The estimate is the sum of count x extra
cost, against the instructions the operation takes today.

Run: ./run bench stable_abi
"""

import collections
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import bench_admin
import bench_chat
import bench_instructions
import callgrind

HERE = pathlib.Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "bench" / "stable_abi"
ROUNDS = 20_000

SETUP = """
import datetime, sys
sys.path.insert(0, sys.argv[1])
import importlib
probe = importlib.import_module(sys.argv[2])
n = int(sys.argv[3])
class Record:
    __slots__ = ("a", "b")
    def iter_lines(self): pass
stamp = datetime.datetime(2026, 12, 9, 16, 57, 3, 123456, datetime.timezone.utc)
names = ("year", "month", "day", "hour", "minute", "second", "microsecond")
keys = ("id", "object", "created", "model", "choices", "usage")
"""

# Per probe: the code one round runs, and the real module's functions whose call counts say how
# often that round happens (C API entry points the round replaces; callgrind counts calls to them).
# The rest (inlined macros, nanobind's dispatch) leave no call to count: their cost per round is shown.
PROBES = {
    "short str from ASCII bytes": ("probe.make_short_text(n)", ["PyUnicode_New"]),
    "record allocation (tp_alloc)": ("probe.alloc_record(n, Record)", ["PyType_GenericAlloc"]),
    "dict of 6 (presized)": ("probe.dump_dict(n, keys)", ["_PyDict_NewPresized"]),
    "datetime from parts": (
        "probe.make_datetime(n, datetime.datetime, datetime.timezone.utc)",
        ["new_datetime_ex", "new_datetime_ex2"],
    ),
    "datetime parts read": ("probe.read_datetime(n, stamp, names)", []),
    "8 x list/tuple/bytes/str storage": (
        "probe.read_storage(n, list(range(8)), tuple(range(8)), b'abcdefgh', 'abcdefgh')",
        [],
    ),
    "class attribute lookup": ("probe.lookup_class_attribute(n, Record, 'iter_lines')", ["_PyType_Lookup"]),
    "nanobind function call": ("for _ in range(n): probe.noop(1)", []),
    "nanobind method call": ("t = probe.Thing()\nfor _ in range(n): t.bump(1)", []),
    "nanobind instance made": ("for _ in range(n): probe.Thing()", []),
}


def build_probe():
    """Builds both variants of the probe; returns the folder holding them."""
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    BUILD.mkdir(parents=True, exist_ok=True)
    configure = [cmake, "-S", str(HERE / "stable_abi"), "-B", str(BUILD), "-G", "Ninja"]
    subprocess.run([*configure, f"-DPython_EXECUTABLE={sys.executable}"], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(BUILD)], check=True, capture_output=True)
    return BUILD


def per_round(folder, module):
    """Instructions per round of each probe in the variant `module`, from one callgrind run that
    zeroes the counters before each probe and dumps them after it."""
    script = SETUP
    for index, (code, _) in enumerate(PROBES.values()):
        script += f"\nprobe.zero_stats()\n{code}\nprobe.dump_stats('probe-{index}')\n"
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/callgrind.out", sys.executable, "-c", script]
            + [str(folder), module, str(ROUNDS)],
            check=True,
            capture_output=True,
        )
        found = {}
        for path in pathlib.Path(out).glob("callgrind.out*"):
            text = path.read_text()
            label = re.search(r"Client Request: probe-(\d+)", text)
            total = re.search(r"^(?:summary|totals): (\d+)", text, re.MULTILINE)
            if label and total:
                found[int(label.group(1))] = int(total.group(1)) / ROUNDS
    return [found[index] for index in range(len(PROBES))]


def call_counts(argv):
    """Calls the SDK's module makes to each function during one run of `argv` (callgrind's call graph,
    counting only calls whose caller is in korvane_sdk/_core*.so), and the run's instructions."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *argv], check=True, capture_output=True
        )
        names = {"ob": {}, "fn": {}}
        counts, caller_object, callee, total = collections.Counter(), "", None, 0
        entry = re.compile(r"(c?)(ob|fn)=\((\d+)\)(?: (.*))?")
        with open(out) as profile:
            for line in profile:
                match = entry.match(line.rstrip("\n"))
                if match:
                    called, kind, key, name = match.groups()
                    if name:
                        names[kind][key] = name
                    if kind == "ob" and not called:
                        caller_object = names["ob"].get(key, "")
                    elif kind == "fn":
                        callee = names["fn"].get(key) if called else None
                elif line.startswith("calls=") and callee and "/korvane_sdk/_core" in caller_object:
                    counts[callee] += int(line.split("=")[1].split()[0])
                elif line.startswith(("summary:", "totals:")):
                    total = int(line.split()[1])
        return counts, total


def per_operation(script, url, count, per):
    """Calls per operation to each function, and instructions per operation, from runs of `count`
    and 3 * `count` operations (start-up and imports drop out)."""
    argv = [sys.executable, "-c", script, url]
    (counts, total), (counts3, total3) = [call_counts([*argv, str(n)]) for n in (count, 3 * count)]
    calls = {name: (counts3[name] - counts[name]) / (2 * count * per) for name in counts3}
    return calls, (total3 - total) / (2 * count * per)


def main():
    if not callgrind.available():
        print("  valgrind not found: nothing measured")
        return
    folder = build_probe()
    extra = {}
    print(f"  {'operation':36} {'full C API':>11} {'abi3':>9} {'extra':>9}   (instructions per round)")
    for name, full, abi3 in zip(PROBES, per_round(folder, "probe_full"), per_round(folder, "probe_abi3"), strict=True):
        extra[name] = abi3 - full
        print(f"  {name:36} {full:11,.0f} {abi3:9,.0f} {abi3 - full:+9,.0f}")

    with bench_chat.Server() as server:
        operations = {
            "stream chunk": per_operation(bench_instructions.STREAM, server.url, 1, bench_chat.STREAM_CHUNKS),
            "whole chat call": per_operation(bench_instructions.WHOLE, server.url, 100, 1),
        }
    platform = bench_admin.start_platform()
    try:
        operations["list of 10,000 tenants"] = per_operation(bench_instructions.LIST, platform.url, 1, 1)
    finally:
        platform.terminate()

    for operation, (counts, today) in operations.items():
        print(f"\n  per {operation}: {today:,.0f} instructions today")
        added = 0.0
        for name, (_, functions) in PROBES.items():
            calls = sum(value for function, value in counts.items() if function in functions)
            if calls:
                added += calls * extra[name]
                print(f"    {name:36} {calls:10,.2f} x {extra[name]:+7,.0f} = {calls * extra[name]:+11,.0f}")
        print(f"    estimated abi3 cost: {added:+,.0f} instructions ({100 * added / today:+.2f}%)")


if __name__ == "__main__":
    main()
