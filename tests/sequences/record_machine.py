"""A stateful test of every way records are made, run as one long sequence in one process.

Records are cached in several places between calls (memos of recent member values, a key cache,
kept parser buffers, prepared readers per record class and per list answer), so a fault of
ownership shows only after a particular sequence of calls: a single call from fresh state never
finds it. The machine below interleaves, across all nineteen record classes, constructors,
model_validate, model_validate_json from text and bytes, model_copy, dumps, pickling, dropping
records, collections, and client calls over loopback (whole chat completions, streams, every list
call, get and create calls), with valid, odd and invalid inputs, and checks each result against
the general path (decode with json.loads, then validate; or a client that is forced off its
direct reading).

`python record_machine.py EXAMPLES` runs it from fresh process state, which is where faults
of shared state show first (each prepared reader is made once per process).
"""

from __future__ import annotations

import copy
import gc
import json
import os
import pickle
import random
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, consumes, initialize, invariant, multiple, rule
from korvane_sdk import KorvaneClient, models

MESSAGE = {"role": "assistant", "content": "Hello", "name": None}
CHOICE = {"index": 0, "message": MESSAGE, "finish_reason": "stop"}
USAGE = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
WHEN = "2025-03-01T00:00:00Z"

# One valid member set per record class (all of them: test_sequences checks).
SAMPLES = {
    "ChatMessage": MESSAGE,
    "ChatCompletionChoice": CHOICE,
    "ChatCompletionUsage": USAGE,
    "ChatCompletion": {
        "id": "c",
        "object": "chat.completion",
        "created": 1,
        "model": "m",
        "choices": [CHOICE],
        "usage": USAGE,
        "rerank_tier": None,
        "quantum_enhanced": False,
    },
    "ChatCompletionChunk": {
        "id": "k",
        "object": "chat.completion.chunk",
        "created": 2,
        "model": "m",
        "choices": [{"index": 0, "delta": {"content": "x"}, "finish_reason": None}],
    },
    "ModelInfo": {
        "id": "m",
        "name": "Model",
        "description": None,
        "context_length": 4096,
        "supports_streaming": True,
        "input_cost_per_1k": 0.5,
        "base_model": None,
    },
    "RerankTier": {"name": "quantum_cpu", "description": "fast", "latency_ms": 12, "quality_score": 0.9},
    "RerankResult": {
        "tier_used": "quantum_cpu",
        "candidates_evaluated": 4,
        "best_index": 1,
        "scores": [0.1, 0.9],
        "latency_ms": 1.5,
        "quantum_enhanced": True,
    },
    "Tenant": {
        "id": "t",
        "name": "Acme",
        "slug": "acme",
        "plan": "pro",
        "is_active": True,
        "created_at": WHEN,
        "updated_at": None,
        "monthly_tokens_used": 42,
        "features": ["sso"],
        "metadata": {"region": "eu"},
    },
    "TenantCreate": {"name": "Acme", "slug": "acme", "plan": "free", "metadata": {}},
    "TenantUpdate": {"name": "Acme", "plan": None, "is_active": False, "metadata": None},
    "Feedback": {
        "id": "f",
        "tenant_id": "t",
        "request_id": "r",
        "rating": 1,
        "comment": "good",
        "tags": ["helpful"],
        "created_at": WHEN,
        "model": "m",
    },
    "FeedbackCreate": {"request_id": "r", "rating": -1, "comment": None, "tags": ["x"]},
    "FeedbackStats": {
        "total_count": 3,
        "positive_count": 1,
        "negative_count": 1,
        "neutral_count": 1,
        "positive_rate": 0.33,
        "tags_distribution": {"a": 2},
    },
    "TrainingJob": {
        "id": "j",
        "tenant_id": "t",
        "status": "running",
        "training_type": "sft",
        "base_model": "b",
        "config": {"lr": 0.1},
        "progress": 0.5,
        "current_step": 1,
        "total_steps": 10,
        "metrics": {"loss": 1.25},
        "created_at": 1700000000,
        "started_at": WHEN,
    },
    "TrainingJobCreate": {
        "training_type": "sft",
        "base_model": "b",
        "dataset_id": "d",
        "config": {},
        "num_gpus": 4,
        "priority": "normal",
    },
    "TrainingJobCancel": {"reason": "no longer needed"},
    "Dataset": {
        "id": "d",
        "tenant_id": "t",
        "name": "support",
        "description": None,
        "num_examples": 12,
        "size_bytes": 2048,
        "dataset_type": "sft",
        "status": "ready",
        "created_at": WHEN,
    },
    "DatasetCreate": {"name": "support", "description": "chats", "dataset_type": "sft"},
}
NAMES = sorted(SAMPLES)
# Chooses the order of the first reads in this process (printed by run() for a rerun).
PROCESS_SEED = int(os.environ.get("KORVANE_SEQUENCE_SEED") or random.SystemRandom().randrange(2**32))
CLASSES = {name: getattr(models, name) for name in NAMES}
# A trivial subclass reads JSON the general way (decode, then validate); the table's own class
# reads it directly.
GENERAL = {name: type(name, (cls,), {}) for name, cls in CLASSES.items()}

# Values are drawn from a small pool so that members repeat and change from call to call, which is
# what the kept values see in real answers; the pool holds odd and invalid values too.
SCALARS = [
    None,
    True,
    False,
    0,
    1,
    2,
    -1,
    7,
    2**63 - 1,
    2**64 - 1,
    2**64,
    -(2**63),
    0.5,
    -0.0,
    1e300,
    1.0,
    "",
    "x",
    "assistant",
    "user",
    "Hello",
    "stop",
    "acme",
    "sft",
    "é",
    "\u2028",
    "日本",
    "a\\b",
    'q"uote',
    "5",
    "5.0",
    "1.",
    "yes",
    "off",
    "x" * 64,
    "y" * 65,
    "z" * 200,
    WHEN,
    "2025-03-01T12:30:45.123456+05:30",
    "2025-03-01",
    "yesterday",
    "1700000000",
]
scalars = st.sampled_from(SCALARS)
values = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.dictionaries(st.sampled_from(["a", "role", "content", "id", "k"]), inner, max_size=3)
    ),
    max_leaves=6,
)


def neighbours(value):
    """Valid values close to a sample's: reads that alternate among a few values keep replacing
    what the previous read kept, and keep finding it again."""
    if isinstance(value, bool) or value is None:
        return [value, not value]
    if isinstance(value, int):
        return [value, value + 1000, 0]
    if isinstance(value, float):
        return [value, value * 3, 0.0]
    if isinstance(value, str):
        return [value, value + "-2", "Hello"]
    return [value]


@st.composite
def members(draw, name, depth=0):
    """The members of a `name` object: its sample with members dropped, replaced, repeated or added,
    nested records varied the same way."""
    sample = SAMPLES[name]
    pairs = []
    for key, value in sample.items():
        roll = draw(st.integers(0, 11))
        if roll == 0:
            continue  # dropped
        if roll == 1:
            value = draw(values)
        elif roll == 2:
            value = draw(scalars)
        elif roll < 7 and key not in NESTED.get(name, {}):
            value = draw(st.sampled_from(neighbours(value)))
        elif depth < 2 and key in NESTED.get(name, {}):
            inner = NESTED[name][key]
            nested = dict(draw(members(inner, depth + 1)))
            value = [nested] * draw(st.integers(0, 2)) if isinstance(value, list) else nested
        pairs.append((key, value))
    for _ in range(draw(st.integers(0, 2))):
        key = draw(st.sampled_from([*sample, "unknown", "role", "id"]))
        pairs.insert(draw(st.integers(0, len(pairs))), (key, draw(values)))
    return pairs


NESTED = {
    "ChatCompletion": {"choices": "ChatCompletionChoice", "usage": "ChatCompletionUsage"},
    "ChatCompletionChoice": {"message": "ChatMessage"},
}


def object_text(pairs, draw):
    """JSON text of an object from (key, value) pairs, repeated keys kept, spacing and escapes varied."""
    ascii_only = draw(st.booleans())
    space = draw(st.sampled_from(["", " ", "\n  "]))
    parts = [
        json.dumps(k, ensure_ascii=ascii_only) + ":" + space + json.dumps(v, ensure_ascii=ascii_only) for k, v in pairs
    ]
    return "{" + space + ("," + space).join(parts) + space + "}"


@st.composite
def documents(draw, name):
    """The JSON text of one `name` object, now and then damaged."""
    text = object_text(draw(members(name)), draw)
    if draw(st.integers(0, 15)) == 0:
        cut = draw(st.integers(0, len(text)))
        text = text[:cut] + draw(st.sampled_from(["", "x", "}", ",", " [1]", "\ufeff"])) + text[cut:]
    return text


def outcome(make):
    """What a call gives, comparable across paths: the record(s) dumped, or the error."""
    try:
        made = make()
    except models.ValidationError as error:
        return ("ValidationError", [(e["type"], e["loc"], e["msg"]) for e in error.errors()])
    except Exception as error:  # the comparison covers every error
        return (type(error).__name__, str(error))
    return dumped(made)


def dumped(made):
    if isinstance(made, list):
        return [dumped(item) for item in made]
    if isinstance(made, models.BaseModel):
        return ("record", type(made).__name__, repr(made.model_dump()))
    return ("value", repr(made))


def general_outcome(name, text):
    """The general path: json.loads, then model_validate of the subclass (so no direct reading)."""
    try:
        data = json.loads(text)
    except ValueError:
        return None  # not JSON: only the error's kind is compared
    return outcome(lambda: GENERAL[name].model_validate(data))


class Platform(BaseHTTPRequestHandler):
    """Answers every request with the body the machine set last."""

    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # the head and the body go out in two writes
    answer = (200, "application/json", b"{}")

    def do_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        status, kind, body = type(self).answer
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_any

    def log_message(self, *args):
        pass


class LoopbackPlatform:
    def __init__(self):
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Platform)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def answer(self, body, kind="application/json", status=200):
        Platform.answer = (status, kind, body.encode() if isinstance(body, str) else body)


def clients(url):
    """A client on its direct paths, and one forced onto the general path by replacing its seams."""
    direct = KorvaneClient(api_key="sk-test", api_url=url, proxy_url=url, max_retries=1, timeout=10)
    general = KorvaneClient(api_key="sk-test", api_url=url, proxy_url=url, max_retries=1, timeout=10)
    own_request = type(general)._request
    general._request = lambda *args, **kwargs: own_request(general, *args, **kwargs)
    return direct, general


# List calls: (call, record, member of the wrapped form).
LIST_CALLS = [
    (lambda c: c.tenants.list(), "Tenant", "tenants"),
    (lambda c: c.feedback.list(), "Feedback", "feedbacks"),
    (lambda c: c.training.list(), "TrainingJob", "jobs"),
    (lambda c: c.training.list_datasets(), "Dataset", "datasets"),
    (lambda c: c.list_models(), "ModelInfo", "data"),
]
# Calls answered by one record.
RECORD_CALLS = [
    (lambda c: c.tenants.get("t"), "Tenant"),
    (lambda c: c.tenants.create("Acme"), "Tenant"),
    (lambda c: c.feedback.get("f"), "Feedback"),
    (lambda c: c.feedback.stats(), "FeedbackStats"),
    (lambda c: c.training.get("j"), "TrainingJob"),
    (lambda c: c.training.cancel("j"), "TrainingJob"),
    (lambda c: c.training.get_dataset("d"), "Dataset"),
    (lambda c: c.training.create_dataset("support"), "Dataset"),
]
CHUNK_DEFAULTS = {"id": "", "object": "chat.completion.chunk", "created": 0, "model": ""}


def expected_chunks(lines):
    """The chunks a stream of `lines` gives by the general rules: data lines decoded with json.loads
    (lines that are not JSON skipped), defaults filled in, then validated; [DONE] ends it."""
    chunks = []
    for line in lines:
        line = line.strip()
        if not line.startswith("data: "):
            continue
        data = line[len("data: ") :]
        if data == "[DONE]":
            break
        try:
            value = json.loads(data)
        except ValueError:
            continue
        if not isinstance(value, dict):
            return chunks, ("TypeError",)
        value = {**CHUNK_DEFAULTS, "choices": [], **value}
        made = outcome(lambda value=value: GENERAL["ChatCompletionChunk"].model_validate(value))
        if made[0] != "record":
            return chunks, made
        chunks.append(made)
    return chunks, None


def read_stream(client):
    chunks = []
    try:
        for chunk in client.chat.completions.create(
            model="m", messages=[{"role": "user", "content": "x"}], stream=True
        ):
            chunks.append(dumped(chunk))
    except models.ValidationError as error:
        return chunks, ("ValidationError", [(e["type"], e["loc"], e["msg"]) for e in error.errors()])
    except (ValueError, TypeError) as error:
        return chunks, (type(error).__name__,)  # the text names the decoding step, not compared
    return chunks, None


class RecordMachine(RuleBasedStateMachine):
    records = Bundle("records")

    platform = None  # one server for every run of the machine in a process

    @initialize(order=st.permutations(NAMES), data=st.data())
    def start(self, order, data):
        if RecordMachine.platform is None:
            RecordMachine.platform = LoopbackPlatform()
            # The first run in a process reads a whole sample of every class, in an order drawn
            # for the process (hypothesis would start from the same order every time): the order
            # in which the prepared readers are made, each after whatever the others kept.
            order = list(NAMES)
            random.Random(PROCESS_SEED).shuffle(order)
            for name in order:
                self.read_json(name, json.dumps(SAMPLES[name]), as_bytes=False)
        self.direct, self.general = clients(self.platform.url)
        for name in order:
            self.read_json(name, data.draw(documents(name)), as_bytes=False)

    def read_json(self, name, text, as_bytes):
        source = text.encode() if as_bytes else text
        direct = outcome(lambda: CLASSES[name].model_validate_json(source))
        assert direct == outcome(lambda: GENERAL[name].model_validate_json(source)), text
        reference = general_outcome(name, text)
        if reference is not None:
            assert direct == reference, text

    def teardown(self):
        if hasattr(self, "direct"):
            self.direct.close()
            self.general.close()

    # -- records from JSON text -----------------------------------------------------------------
    @rule(
        target=records,
        data=st.data(),
        name=st.sampled_from(NAMES),
        as_bytes=st.booleans(),
        keep=st.integers(0, 3).map(lambda n: n == 0),
    )
    def from_json(self, data, name, as_bytes, keep):
        text = data.draw(documents(name))
        self.read_json(name, text, as_bytes)
        source = text.encode() if as_bytes else text
        # Most records are dropped at once, so that what the reads made is freed and reused soon.
        if not keep:
            return multiple()
        try:
            return CLASSES[name].model_validate_json(source)
        except models.ValidationError:
            return CLASSES[name].model_validate(SAMPLES[name])

    # -- records from Python values -------------------------------------------------------------
    @rule(target=records, data=st.data(), name=st.sampled_from(NAMES))
    def construct(self, data, name):
        mapping = dict(data.draw(members(name)))
        made = outcome(lambda: CLASSES[name](**mapping))
        assert made == outcome(lambda: CLASSES[name].model_validate(mapping))
        assert made == outcome(lambda: GENERAL[name].model_validate(mapping))
        try:
            return CLASSES[name](**mapping)
        except models.ValidationError:
            return CLASSES[name].model_validate(SAMPLES[name])

    # -- what is done with records --------------------------------------------------------------
    @rule(record=records)
    def dump_and_read_back(self, record):
        cls = type(record)
        assert cls.model_validate_json(record.model_dump_json()) == record
        assert cls.model_validate(record.model_dump()) == record
        assert cls.model_validate_json(record.model_dump_json(exclude_none=True).encode()) == record

    @rule(target=records, record=records, deep=st.booleans())
    def copy_record(self, record, deep):
        made = record.model_copy(deep=deep)
        assert made == record and made is not record
        assert copy.deepcopy(record) == record
        return made

    @rule(record=records, data=st.data())
    def copy_with_update(self, record, data):
        # Updates are not validated (as in pydantic), so the copy is not kept for the other rules.
        key = data.draw(st.sampled_from(list(SAMPLES[type(record).__name__])))
        value = data.draw(scalars)
        before = getattr(record, key)
        made = record.model_copy(update={key: value})
        assert type(made) is type(record) and getattr(made, key) is value
        # The original is untouched. (Comparing identity with `value` instead failed whenever both
        # held one cached object, a small int or an interned text.)
        assert getattr(record, key) is before

    @rule(target=records, record=records)
    def pickle_record(self, record):
        made = pickle.loads(pickle.dumps(record))
        assert made == record
        return made

    @rule(record=consumes(records))
    def drop(self, record):
        del record

    @rule()
    def collect(self):
        gc.collect()

    # -- client calls over loopback -------------------------------------------------------------
    @rule(data=st.data())
    def chat_completion(self, data):
        text = data.draw(documents("ChatCompletion"))
        self.platform.answer(text)

        def call(c):
            return c.chat.completions.create(model="m", messages=[{"role": "user", "content": "x"}])

        assert outcome(lambda: call(self.direct)) == outcome(lambda: call(self.general)), text

    @rule(data=st.data(), count=st.integers(0, 4))
    def stream(self, data, count):
        lines = []
        for _ in range(count):
            kind = data.draw(st.integers(0, 9))
            if kind == 0:
                lines.append(
                    data.draw(
                        st.sampled_from(
                            [": ping", "event: x", "data:{}", "data: not json", "data: [1]", "data: [DONE]"]
                        )
                    )
                )
            else:
                lines.append("data: " + data.draw(documents("ChatCompletionChunk")).replace("\n", " "))
        lines.append("data: [DONE]")
        body = "".join(line + "\n\n" for line in lines)
        self.platform.answer(body, kind="text/event-stream")
        assert read_stream(self.direct) == expected_chunks(lines), body

    @rule(data=st.data(), which=st.sampled_from(LIST_CALLS), wrapped=st.booleans(), count=st.integers(0, 3))
    def list_call(self, data, which, wrapped, count):
        call, name, member = which
        items = ",".join(data.draw(documents(name)) for _ in range(count))
        body = '{"%s": [%s], "total": %d}' % (member, items, count) if wrapped else "[%s]" % items
        self.platform.answer(body)
        assert outcome(lambda: call(self.direct)) == outcome(lambda: call(self.general)), body

    @rule(data=st.data(), which=st.sampled_from(RECORD_CALLS))
    def record_call(self, data, which):
        call, name = which
        text = data.draw(documents(name))
        self.platform.answer(text)
        assert outcome(lambda: call(self.direct)) == outcome(lambda: call(self.general)), text

    @invariant()
    def samples_still_read(self):
        # Cheap and frequent: a kept value freed under a memo would show here first.
        made = CLASSES["ChatMessage"].model_validate_json('{"role":"assistant","content":"Hello","name":null}')
        assert made.role == "assistant" and made.content == "Hello"


def run(examples):
    from hypothesis.stateful import run_state_machine_as_test

    print(f"KORVANE_SEQUENCE_SEED={PROCESS_SEED}", file=sys.stderr, flush=True)
    config = settings(
        max_examples=examples,
        stateful_step_count=40,
        deadline=None,
        database=None,
        report_multiple_bugs=False,
        suppress_health_check=list(HealthCheck),
    )
    run_state_machine_as_test(RecordMachine, settings=config)


if __name__ == "__main__":
    run(int(sys.argv[1]))
    print("sequences passed")
