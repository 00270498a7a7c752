"""Lax conversions compared with pydantic v2 on mirrors of our records: every input is taken as
pydantic takes it (same value, same type) or refused as pydantic refuses it (same error types at
the same places). Constructor and JSON alike."""

import array
import collections
import datetime
import enum
import json
import math
from decimal import Decimal
from fractions import Fraction

import pytest
from korvane_sdk import models

pydantic = pytest.importorskip("pydantic")
twins = pytest.importorskip("pydantic_twins")


TWINS = [
    "ModelInfo",
    "Tenant",
    "FeedbackStats",
    "ChatMessage",
    "ChatCompletionChoice",
    "ChatCompletionUsage",
    "ChatCompletion",
    "ChatCompletionChunk",
]


@pytest.mark.parametrize("name", TWINS)
def test_each_twin_declares_what_its_record_declares(name):
    """The comparisons below (and the benchmarks) mean something only while the twins keep up."""
    ours, theirs = getattr(models, name).model_fields, getattr(twins, name).model_fields
    assert list(ours) == list(theirs)
    for field, info in ours.items():
        twin = theirs[field]
        assert (info.is_required(), info.default_factory) == (twin.is_required(), twin.default_factory), field
        if not info.is_required() and info.default_factory is None:
            assert info.default == twin.default, field


BASES = {
    "ModelInfo": {"id": "m1", "name": "Model"},
    "Tenant": {"id": "t1", "name": "Acme", "slug": "acme", "created_at": "2024-01-15T10:30:00Z"},
    "FeedbackStats": {
        "total_count": 1,
        "positive_count": 1,
        "negative_count": 0,
        "neutral_count": 0,
        "positive_rate": 1.0,
    },
}


def same(a, b):
    """Equal values of the same types (floats: NaN equals NaN; date-times: same offset too)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or a == b
    if isinstance(a, datetime.datetime):
        return a == b and a.utcoffset() == b.utcoffset()
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def outcome(make, messages=False):
    """The field's value, or the (type, loc) of every problem (and its message)."""
    try:
        return "value", make()
    except (pydantic.ValidationError, models.ValidationError) as error:
        return "errors", [(e["type"], tuple(e["loc"])) + ((e["msg"],) if messages else ()) for e in error.errors()]


def compare(record, field, value, *, fresh=lambda v: v, messages=False):
    """`fresh` makes the input anew for each side (generators are read once)."""
    ours = outcome(lambda: getattr(getattr(models, record)(**{**BASES[record], field: fresh(value)}), field), messages)
    theirs = outcome(lambda: getattr(getattr(twins, record)(**{**BASES[record], field: fresh(value)}), field), messages)
    assert ours[0] == theirs[0], (value, ours, theirs)
    if ours[0] == "value":
        assert same(ours[1], theirs[1]), (value, ours[1], theirs[1])
    else:
        assert ours[1] == theirs[1], (value, ours[1], theirs[1])


class Text(str):
    pass


class Color(str, enum.Enum):
    RED = "red"


NUMERIC_TEXTS = [
    "1",
    "1.",
    "1.0",
    "1.00",
    "+1",
    "-1",
    " 1 ",
    "\t7\n",
    "1_000",
    "1__0",
    "_1",
    "1_",
    "0x10",
    "0b1",
    "0o7",
    "1e3",
    "1E5",
    "1e-5",
    "1e+5",
    "1.5",
    "1.0e0",
    "+1.0",
    "-0",
    "-0.0",
    "0.000",
    "00012",
    "00",
    "0_0",
    "1 000",
    "",
    " ",
    "inf",
    "-inf",
    "+inf",
    "INF",
    "Infinity",
    "iNfInItY",
    "nan",
    "NaN",
    "-nan",
    "1_000.5",
    "1.5_0",
    "1_0.0",
    "1.0_0",
    "1_0e1_0",
    ".5",
    "5.",
    "-.5",
    "1e",
    "e1",
    "1.0.0",
    "١",
    "１２",
    "٣",
    "true",
    "yes",
    "abc",
    "5" * 4300,
    "5" * 4301,
]
NUMBERS = [
    0,
    1,
    -1,
    2,
    3,
    10**30,
    0.0,
    -0.0,
    1.0,
    3.0,
    3.5,
    0.5,
    1e20,
    9.2e18,
    9.3e18,
    -9.3e18,
    2.0**63,
    -(2.0**63),
    float("inf"),
    float("-inf"),
    float("nan"),
    10**400,
    True,
    False,
    Decimal("3"),
    Decimal("3.0"),
    Decimal("3.5"),
    Decimal("1E+3"),
    Decimal("-0"),
    Decimal("0"),
    Decimal("1"),
    Decimal("NaN"),
    Decimal("Infinity"),
    Decimal("1e400"),
    Decimal(2**70),
]


class WithIndex:
    def __index__(self):
        return 4


class WithFloat:
    def __float__(self):
        return 2.5


class WithInt:
    def __int__(self):
        return 3


class Weight(float, enum.Enum):
    LIGHT = 1.5


class Plain(enum.Enum):
    NUMBER = 2
    TEXT = "t"


OTHERS = [
    None,
    [1],
    (1,),
    {"a": 1},
    b"12",
    b"1.",
    b" 5 ",
    b"\xff",
    b"true",
    b"inf",
    bytearray(b"12"),
    complex(1, 0),
    Text("3"),
    Color.RED,
    WithIndex(),
    WithFloat(),
    WithInt(),
    Fraction(3, 1),
    Fraction(7, 2),
    Fraction(0),
    Weight.LIGHT,
    Plain.NUMBER,
    Plain.TEXT,
]


@pytest.mark.parametrize("field", ["context_length", "monthly_tokens_limit"])
@pytest.mark.parametrize("value", NUMERIC_TEXTS + NUMBERS + [v for v in OTHERS if v is not Plain.TEXT], ids=repr)
def test_integers(field, value):
    compare("ModelInfo" if field == "context_length" else "Tenant", field, value)


def test_an_enum_member_with_a_text_value_is_no_integer():
    """pydantic hands such a member's value ("t") through into an int field; that is refused here."""
    with pytest.raises(models.ValidationError) as info:
        models.ModelInfo(**BASES["ModelInfo"], context_length=Plain.TEXT)
    assert info.value.errors()[0]["type"] == "int_type"


@pytest.mark.parametrize("value", NUMERIC_TEXTS + NUMBERS + OTHERS, ids=repr)
def test_floats(value):
    compare("ModelInfo", "input_cost_per_1k", value)


TRUTH_TEXTS = [
    "true",
    "True",
    "TRUE",
    "yes",
    "on",
    "oN",
    "y",
    "Y",
    "t",
    "T",
    "1",
    "false",
    "False",
    "no",
    "off",
    "n",
    "N",
    "f",
    "F",
    "0",
    " true",
    "True ",
    "maybe",
    "",
    "2",
    "-1",
]


@pytest.mark.parametrize("value", TRUTH_TEXTS + NUMBERS + OTHERS + [b"yes", b"off"], ids=repr)
def test_truth_values(value):
    compare("ModelInfo", "supports_vision", value)


@pytest.mark.parametrize(
    "value",
    [
        "text",
        "",
        Text("sub"),
        Color.RED,
        b"abc",
        b"caf\xc3\xa9",
        b"\xff",
        bytearray(b"abc"),
        bytearray(b"\xff"),
        memoryview(b"x"),
        1,
        1.5,
        True,
        None,
        Decimal("1"),
        ["a"],
        Plain.NUMBER,
        Plain.TEXT,
        Weight.LIGHT,
        WithIndex(),
    ],
    ids=repr,
)
def test_texts(value):
    compare("ModelInfo", "name", value)


UNIX_TIMES = [
    0,
    1,
    -1,
    1700000000,
    1700000000123,
    -1700000000123,
    20000000000,
    20000000001,
    -20000000000,
    -20000000001,
    253402300799,
    253402300800,
    253402300799999,
    253402300800000,
    -62135596800,
    -62135596801,
    -62135596800000,
    -62135596800001,
    -62167219200000,
    -62167219200001,
    2**63,
    -(2**63),
    10**30,
    -(10**30),
    1700000000123456,
    1.5,
    -1.5,
    -1.25,
    -0.25,
    0.0000005,
    0.0000015,
    1e-7,
    59.9999999,
    0.9999996,
    -0.9999996,
    1700000000.5,
    1700000000.1234567,
    1700000000123.5,
    -1700000000123.25,
    20000000000.0,
    20000000000.25,
    19999999999.5,
    -20000000000.5,
    -19999999999.5,
    253402300799.5,
    253402300799999.5,
    253402300799999.9999,
    -62135596800000.5,
    1e20,
    float("inf"),
    float("-inf"),
    float("nan"),
    True,
    False,
    Decimal("1700000000.5"),
    Decimal("1700000000123"),
]
DATE_TEXTS = [
    "1700000000123",
    "-1700000000123",
    "20000000000",
    "20000000001",
    "20000000000.0",
    "20000000000.5",
    "-20000000000.5",
    "1700000000123.5",
    "1700000000.123456789",
    "-1",
    "+1",
    "-1.25",
    "1.",
    "1.0000005",
    "253402300800000",
    "99999999999999999999999",
    "-99999999999999999999999",
    "1e3",
    "17e8",
    " 1700000000 ",
    "0x10",
    "1_000",
    "",
    "x",
    "2024-01-01",
    "2024-01-01T",
    "2024-01-01T10",
    "2024-01-01T25:00",
    "2024-13-01",
    "2024-01-01Tx",
    "2024-01-01T10:00:00+25:00",
    "2024-02-30",
    "2024-01-01T10:00:00Zx",
    "2024-01-01 10:00",
    "20240101",
    "2024-01-01T10:00:00.1234567",
    "2024-1-15",
    "abcd-01-15",
    "2024/01/15",
    "2023-02-29",
    "2024-01-15X10:30",
    "2024-01-15T10-30",
    "2024-01-15T10:30:05 UTC",
    "2024-03-05T15:30:00+05:",
    "2024-01-15T10:30:05.",
    "2024-01-15T10:30:05Z",
    "2024-01-15T10:30:05+02:00",
    "2024-01-15T10:30:05-0530",
    "0000-01-01",
    "0000-01-01T00:00:00",
    "0000-13-01",
    "0000-01-01Tx",
    "10000-01-01",
    "9999-12-31T23:59:60",
    "2024-01-01T10:00:00+24:00",
    "2024-01-01T10:00:00,5",
    "-62135596800001",
    "-62167219200001",
]
DATE_OTHERS = [
    datetime.date(2024, 1, 2),
    datetime.datetime(2024, 1, 2, 3, 4, 5),
    b"2024-01-01T00:00:00",
    b"2024-01-01",
    b"1700000000123",
    b"\xff",
    b"2024-13-01",
    bytearray(b"2024-01-01"),
    None,
    [2024],
    datetime.time(1, 2),
]


@pytest.mark.parametrize("value", UNIX_TIMES + DATE_TEXTS + DATE_OTHERS, ids=repr)
def test_date_times(value):
    """Messages too: the reasons a date-time is refused are pydantic's."""
    compare("Tenant", "created_at", value, messages=True)


@pytest.mark.parametrize("value", UNIX_TIMES + DATE_TEXTS, ids=repr)
def test_date_times_from_json(value):
    """The same values as members of a JSON answer."""
    if isinstance(value, float) and not math.isfinite(value) or isinstance(value, Decimal):
        pytest.skip("not a JSON value")
    if isinstance(value, int) and abs(value) >= 2**63:
        pytest.skip("pydantic's JSON reader has no integers beyond 64 bits for date-times")
    text = json.dumps({**BASES["Tenant"], "created_at": value})
    ours = outcome(lambda: models.Tenant.model_validate_json(text).created_at)
    theirs = outcome(lambda: twins.Tenant.model_validate_json(text).created_at)
    assert ours[0] == theirs[0], (value, ours, theirs)
    if ours[0] == "value":
        assert same(ours[1], theirs[1])
    else:
        assert ours[1] == theirs[1]


class Iterable:
    def __iter__(self):
        return iter(["a"])


class Indexable:
    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        return "a"


LISTS = [
    ["a", "b"],
    ("a", "b"),
    collections.deque(["a"]),
    {"a"},
    frozenset({"a"}),
    {"a": 1}.keys(),
    {"a": "v"}.values(),
    {"a": "v"}.items(),
    "ab",
    b"ab",
    bytearray(b"ab"),
    range(2),
    [b"x"],
    {"k": "v"},
    collections.OrderedDict(a=1),
    collections.ChainMap({"a": 1}),
    array.array("u", "ab"),
    Iterable(),
    Indexable(),
    None,
    1,
    type(None),
]


@pytest.mark.parametrize("value", LISTS, ids=repr)
def test_lists(value):
    compare("Tenant", "features", value)


@pytest.mark.parametrize(
    "make",
    [
        lambda: (x for x in ["a", "b"]),
        lambda: iter(["a"]),
        lambda: map(str, [1, 2]),
        lambda: reversed(["a", "b"]),
        lambda: zip(["a"]),
        lambda: enumerate(["a"]),
        lambda: iter({"a": 1}.items()),
    ],
    ids=["generator", "iterator", "map", "reversed", "zip", "enumerate", "items-iterator"],
)
def test_lists_from_iterators(make):
    compare("Tenant", "features", None, fresh=lambda _: make())


@pytest.mark.parametrize(
    "field, value",
    [
        ("metadata", {b"k": 1}),
        ("metadata", {1: 1}),
        ("metadata", {Color.RED: 1}),
        ("metadata", {"k": b"v"}),
        ("metadata", [("k", 1)]),
        ("metadata", collections.OrderedDict(k=1)),
        ("metadata", {b"\xff": 1}),
        ("tags_distribution", {b"k": 1}),
        ("tags_distribution", {"k": "1"}),
        ("tags_distribution", {"k": b"2"}),
        ("tags_distribution", {1: 1}),
        ("tags_distribution", {b"\xff": 1}),
        ("tags_distribution", {"k": 1.5}),
        ("tags_distribution", {"k": "1_0"}),
        ("tags_distribution", {"k": Decimal("2")}),
    ],
    ids=repr,
)
def test_mappings(field, value):
    compare("Tenant" if field == "metadata" else "FeedbackStats", field, value)


class Shade(enum.Enum):
    RED = "red"
    NUM = 2
    PAIR = (1, 2)


class Level(enum.IntEnum):
    ONE = 1


class Tone(str, enum.Enum):
    A = "a"


FREE_VALUES = {
    "decimal": Decimal("1.50"),
    "decimal-exp": Decimal("1E+2"),
    "decimal-nan": Decimal("NaN"),
    "uuid": __import__("uuid").UUID(int=1),
    "enum": Shade.RED,
    "enum-int": Shade.NUM,
    "enum-tuple": Shade.PAIR,
    "int-enum": Level.ONE,
    "str-enum": Tone.A,
    "timedelta-0": datetime.timedelta(0),
    "timedelta": datetime.timedelta(days=1, hours=2),
    "timedelta-minutes": datetime.timedelta(seconds=90),
    "timedelta-micro": datetime.timedelta(microseconds=5),
    "timedelta-negative-day": datetime.timedelta(days=-1),
    "timedelta-negative": datetime.timedelta(seconds=-1.5),
    "timedelta-years": datetime.timedelta(days=400, seconds=3661, microseconds=500000),
    "timedelta-weeks": datetime.timedelta(weeks=3),
    "timedelta-big": datetime.timedelta(days=-800, microseconds=10),
    "timedelta-extreme": datetime.timedelta.min,
    "timedelta-max": datetime.timedelta.max,
    "path": __import__("pathlib").Path("/a/b"),
    "bytes": b"abc",
    "bytearray": bytearray(b"ab"),
    "set": {1},
    "frozenset": frozenset({2}),
    "tuple": (1, (2, 3)),
    "deque": collections.deque([1, Level.ONE]),
    "date": datetime.date(2024, 1, 2),
    "time": datetime.time(1, 2, 3, 4),
    "datetime-utc": datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc),
    "datetime-offset": datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
    "nested": {"when": datetime.date(2024, 1, 2), "items": [Decimal("1"), {Tone.A}]},
    "nan": float("nan"),
}


@pytest.mark.parametrize("key", list(FREE_VALUES))
def test_free_values_dump_as_pydantic_dumps_them(key):
    """model_dump(mode="json") and model_dump_json() of Dict[str, Any] members (and the Python mode)."""
    metadata = {key: FREE_VALUES[key]}
    ours = models.Tenant(**BASES["Tenant"], metadata=metadata)
    theirs = twins.Tenant(**BASES["Tenant"], metadata=metadata)
    assert ours.model_dump(mode="json")["metadata"] == theirs.model_dump(mode="json")["metadata"]
    assert json.loads(ours.model_dump_json())["metadata"] == json.loads(theirs.model_dump_json())["metadata"]
    assert repr(ours.model_dump()["metadata"]) == repr(theirs.model_dump()["metadata"])  # Python mode: as given


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize(
    "key",
    [
        Decimal("1.5"),
        Shade.RED,
        Shade.NUM,
        Level.ONE,
        datetime.date(2024, 1, 1),
        b"k",
        datetime.timedelta(1),
        __import__("uuid").UUID(int=1),
        1.5,
        3,
        True,
    ],
    ids=repr,
)
def test_free_mapping_keys_dump_as_pydantic_dumps_them(key):
    """Keys set by hand after validation (validation itself takes text keys only)."""
    ours = models.Tenant(**BASES["Tenant"])
    theirs = twins.Tenant(**BASES["Tenant"])
    ours.metadata = theirs.metadata = {key: 1}
    assert ours.model_dump(mode="json")["metadata"] == theirs.model_dump(mode="json")["metadata"]
    assert json.loads(ours.model_dump_json()) == json.loads(theirs.model_dump_json())


def test_str_and_repr_read_as_pydantic_writes_them():
    ours = models.ChatCompletionChoice(index=0, message={"role": "u", "content": "c"})
    theirs = twins.ChatCompletionChoice(index=0, message={"role": "u", "content": "c"})
    assert str(ours.message) == str(theirs.message)
    assert repr(ours.message) == repr(theirs.message)
    assert str(ours) == str(theirs)


class Marker:
    def __str__(self):
        return "<marker>"


@pytest.mark.parametrize(
    "include", [{}, {"include_url": False}, {"include_context": False}, {"include_input": False}], ids=repr
)
@pytest.mark.parametrize("indent", [None, 2])
def test_validation_error_json_in_pydantic_shape(include, indent):
    bad = {
        "id": 7,
        "name": None,
        "slug": "s",
        "created_at": "x",
        "monthly_tokens_used": float("inf"),
        "monthly_requests_used": Decimal("1.5"),
        "features": [datetime.date(2024, 1, 2), {1}, Marker()],
        "metadata": {1: "a"},
        "is_active": "perhaps",
    }
    with pytest.raises(models.ValidationError) as ours:
        models.Tenant(**bad)
    with pytest.raises(pydantic.ValidationError) as theirs:
        twins.Tenant(**bad)
    expected = json.loads(theirs.value.json(indent=indent, **{"include_url": False, **include}))
    assert json.loads(ours.value.json(indent=indent, **include)) == expected
    compact = ours.value.json(**include)
    assert compact == theirs.value.json(**{"include_url": False, **include})


@pytest.mark.parametrize(
    "member",
    [
        '"input_cost_per_1k": NaN',
        '"input_cost_per_1k": Infinity',
        '"input_cost_per_1k": -Infinity',
        '"context_length": NaN',
        '"context_length": Infinity',
    ],
)
def test_non_finite_json_numbers_read_as_pydantic_reads_them(member):
    """A diverged training loss reported as NaN: the answer is readable, as with pydantic."""
    text = '{"id": "m", "name": "n", %s}' % member
    field = member.split('"')[1]
    ours = outcome(lambda: getattr(models.ModelInfo.model_validate_json(text), field))
    theirs = outcome(lambda: getattr(twins.ModelInfo.model_validate_json(text), field))
    assert ours[0] == theirs[0]
    assert same(ours[1], theirs[1]) if ours[0] == "value" else ours[1] == theirs[1]
