"""Sequences of calls in one process: what one call keeps for the next (memos of member values,
the key cache, parser buffers, prepared readers, nested shapes shared by record classes) must
never change what a later call gives, nor crash it.

Runs that must start from fresh process state (each prepared reader is made once per process)
run in a child interpreter, which inherits the sanitizers and the allocator of this pass."""

import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import korvane_sdk
import pytest
from korvane_sdk import models
from record_machine import GENERAL, SAMPLES, run

HERE = Path(__file__).parent
SANITIZED = bool(os.environ.get("KORVANE_SANITIZED"))
# KORVANE_SEQUENCE_EXAMPLES=N runs the machine longer (N examples per run) when hunting a fault.
LONGER = int(os.environ.get("KORVANE_SEQUENCE_EXAMPLES") or 0)


def run_child(code_or_args, timeout=600):
    args = code_or_args if isinstance(code_or_args, list) else ["-c", code_or_args]
    done = subprocess.run([sys.executable, *args], cwd=HERE, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout[-3000:]}\n{done.stderr[-6000:]}"
    return done.stdout


REPRODUCER = """
from korvane_sdk import models as M
C = ('{"id":"c","object":"chat.completion","created":1,"model":"m","choices":[{"index":0,'
     '"message":{"role":"assistant","content":"Hello","name":null},"finish_reason":"stop"}]}')
M.ChatCompletion.model_validate_json(C)
M.ChatMessage.model_validate_json('{"role":"user","content":"x"}')
print(M.ChatCompletion.model_validate_json(C).choices[0].message.content)
"""


def test_every_record_has_a_sample():
    """A record without a sample would be left out of every sequence below."""
    assert sorted(SAMPLES) == sorted(korvane_sdk._core._record_names)


def test_first_reported_sequence_reads_its_records():
    assert run_child(REPRODUCER) == "Hello\n"


# A record class and a class it nests; each read is given two texts whose member values differ.
NESTINGS = [
    ("ChatCompletion", "ChatMessage"),
    ("ChatCompletion", "ChatCompletionChoice"),
    ("ChatCompletion", "ChatCompletionUsage"),
    ("ChatCompletionChoice", "ChatMessage"),
]
VARIANTS = {
    "ChatMessage": [{"role": "assistant", "content": "Hello", "name": None}, {"role": "user", "content": "x"}],
    "ChatCompletionUsage": [
        {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3},
        {"prompt_tokens": 1000, "completion_tokens": 2000, "total_tokens": 3000},
    ],
}
VARIANTS["ChatCompletionChoice"] = [
    {"index": 0, "message": m, "finish_reason": f}
    for m, f in zip(VARIANTS["ChatMessage"], ["stop", "length"], strict=True)
]
VARIANTS["ChatCompletion"] = [
    dict(SAMPLES["ChatCompletion"], id=i, model=m, choices=[c], usage=u)
    for i, m, c, u in zip(
        ["c1", "c2"],
        ["m1", "model-two"],
        VARIANTS["ChatCompletionChoice"],
        VARIANTS["ChatCompletionUsage"],
        strict=True,
    )
]
# (class, variant) steps: every order of the two classes over three and four reads.
ORDERS = [
    [(0, 0), (1, 1), (0, 0)],
    [(0, 0), (1, 1), (1, 0)],
    [(1, 0), (0, 1), (1, 0)],
    [(0, 1), (0, 0), (1, 1), (0, 1)],
    [(1, 1), (1, 0), (0, 0), (1, 1)],
]

SEQUENCE_CHILD = """
import gc, json, sys
from korvane_sdk import models
steps = json.loads(sys.argv[1])
for name, text, expected in steps:
    cls = getattr(models, name)
    for source in (text, text.encode()):
        made = cls.model_validate_json(source)
        assert made.model_dump() == expected, (name, made, expected)
        del made
        gc.collect()
print("ok")
"""


@pytest.mark.parametrize("outer, inner", NESTINGS, ids=["-".join(pair) for pair in NESTINGS])
def test_nested_and_own_class_reads_in_any_order(outer, inner):
    for order in ORDERS:
        steps = []
        for which, variant in order:
            name = (outer, inner)[which]
            data = VARIANTS[name][variant]
            steps.append((name, json.dumps(data), GENERAL[name].model_validate(data).model_dump()))
        assert run_child(["-c", SEQUENCE_CHILD, json.dumps(steps)]) == "ok\n", order


def test_interleaved_entry_points_in_this_process():
    """The suite's own state (every reader already made by earlier tests) is a start like any other."""
    run(examples=LONGER or (20 if SANITIZED else 30))


def test_interleaved_entry_points_from_fresh_state():
    """Long sequences from a fresh interpreter each: the order in which prepared readers are first
    made differs from run to run."""
    runs, examples = (4, 30) if SANITIZED else (2, 50)
    examples = LONGER or examples
    for _ in range(runs):
        assert run_child([str(HERE / "record_machine.py"), str(examples)]).endswith("sequences passed\n")


def test_threads_reading_records_at_once():
    """Several threads read records of classes that share nested shapes, dropping them as they go;
    each record is exactly what the general path makes of its text."""
    texts = []
    for name in ("ChatCompletion", "ChatMessage", "ChatCompletionChoice", "ChatCompletionUsage"):
        for data in VARIANTS[name]:
            text = json.dumps(data)
            texts.append((getattr(models, name), text, GENERAL[name].model_validate_json(text).model_dump()))
    texts.append(
        (
            models.ChatCompletionChunk,
            json.dumps(SAMPLES["ChatCompletionChunk"]),
            models.ChatCompletionChunk(**SAMPLES["ChatCompletionChunk"]).model_dump(),
        )
    )
    failures = []

    def reader(offset):
        try:
            for i in range(300 if SANITIZED else 2000):
                cls, text, expected = texts[(i * 7 + offset) % len(texts)]
                made = cls.model_validate_json(text if i % 2 else text.encode())
                if made.model_dump() != expected:
                    failures.append((cls.__name__, made))
        except Exception as error:  # reported below, not lost in the thread
            failures.append(error)

    threads = [threading.Thread(target=reader, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_clients_outlive_replaced_module_names():
    """The client keeps its own reference to the HTTP session class: replacing the modules' names
    (as a test double would) and collecting must not free what later clients are made from."""
    out = run_child("""
import gc
from korvane_sdk import KorvaneClient
KorvaneClient(api_key="x").close()
import korvane_sdk._core as core, korvane_sdk.http as http
core.Session = http.Session = None
gc.collect()
with KorvaneClient(api_key="x") as client:
    print(type(client._session).__name__)
""")
    assert out == "Session\n"
