"""The native JSON writer against json.dumps(ensure_ascii=False, separators=(",", ":"))."""

import collections
import collections.abc
import enum
import json
import math
import threading

import pytest
from korvane_sdk._core import _json_dumps, _json_loads


def reference(value):
    return json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode()


class Level(enum.IntEnum):
    HIGH = 3


class Text(str):
    pass


class Real(float):
    def __repr__(self):
        return "not used"


class Number(int):
    def __repr__(self):
        return "not used"


class Members(dict):
    pass


class Items(list):
    pass


Pair = collections.namedtuple("Pair", "left right")


class ReadOnly(collections.abc.Mapping):
    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


CORPUS = [
    None,
    True,
    False,
    0,
    -1,
    2**63 - 1,
    2**63,
    -(2**63),
    2**64,
    10**40,
    -(10**40),
    0.0,
    -0.0,
    1.0,
    0.1,
    1e16,
    1e-7,
    1.5e300,
    5e-324,
    1.7976931348623157e308,
    123456789.123,
    "",
    "plain",
    'quote " backslash \\ slash /',
    "\b\f\n\r\t",
    "\x00\x01\x1f\x7f",
    "é\xff",
    "\u0100 \u4e00 \uffff",
    "\U0001f600 \U0010ffff",
    "mixed é \n \U0001f600 \x05",
    [],
    {},
    [[]],
    [1, "a", None, [True, {"k": [0.5]}]],
    (1, 2),
    ("tuple", ("nested",)),
    {"model": "m", "messages": [{"role": "user", "content": "Hi ☃"}], "temperature": 0.7, "n": 1},
    {"z": 1, "a": 2, "m": 3},
    {1: "int", 2.5: "float", None: "null", -7: "negative"},
    # bool keys in a dict of their own: True == 1 and False == 0, so beside int keys one would replace the other
    {True: "true", False: "false"},
    {False: 0, "x": 1, True: [True]},
    {10**30: "big int key", 1e16: "float key"},
    Level.HIGH,
    {"level": Level.HIGH},
    {Level.HIGH: "enum key"},
    Text("str subclass"),
    {Text("k"): Text("v")},
    Real(2.5),
    Number(42),
    {Number(7): Real(0.25)},
    Members(a=1, b=[2]),
    Items([1, Items([2])]),
    Pair(1, "two"),
]


@pytest.mark.parametrize("value", CORPUS, ids=lambda v: type(v).__name__)
def test_writes_what_json_dumps_writes(value):
    written = _json_dumps(value)
    assert isinstance(written, bytes)
    assert written == reference(value)


def test_other_mappings_are_objects():
    assert _json_dumps(ReadOnly({"b": 1, "a": [ReadOnly({})]})) == b'{"b":1,"a":[{}]}'
    assert _json_dumps({"outer": ReadOnly({1: None})}) == b'{"outer":{"1":null}}'


@pytest.mark.parametrize("escape", ['"', "\\", "\n", "\x00", "\x1f", "é", "\u4e00", "\U0001f600"])
def test_escapes_at_every_place_of_a_long_string(escape):
    for length in (7, 8, 9, 16, 17, 40):
        for at in range(length + 1):
            text = "a" * at + escape + "b" * (length - at)
            assert _json_dumps(text) == reference(text)


@pytest.mark.parametrize(
    "text, written",
    [
        ("\ud800", b'"\\ud800"'),
        ("a\udfffb", b'"a\\udfffb"'),
        ("\udbff\udc00", b'"\\udbff\\udc00"'),  # two halves stored apart in a str stay apart
        ("é\ud83d", b'"\xc3\xa9\\ud83d"'),
        ("\U0001f600\udc00", b'"\xf0\x9f\x98\x80\\udc00"'),
    ],
)
def test_lone_surrogates_become_escapes_so_the_output_is_utf8(text, written):
    out = _json_dumps({text: text})
    assert out == b"{" + written + b":" + written + b"}"
    out.decode("utf-8")  # strictly valid
    # Read back as the json module reads escapes: an escaped high half then low half is one pair.
    assert _json_loads(out) == json.loads(out)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (math.nan, ValueError, "Out of range float values are not JSON compliant: nan"),
        (math.inf, ValueError, "Out of range float values are not JSON compliant: inf"),
        ([-math.inf], ValueError, "Out of range float values are not JSON compliant: -inf"),
        ({math.nan: 1}, ValueError, "Out of range float values are not JSON compliant: nan"),
        ({1, 2}, TypeError, "Object of type set is not JSON serializable"),
        ([1, {"a": b"x"}], TypeError, "Object of type bytes is not JSON serializable"),
        (object(), TypeError, "Object of type object is not JSON serializable"),
        (1j, TypeError, "Object of type complex is not JSON serializable"),
        ({(1, 2): 1}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
        ({b"k": 1}, TypeError, "keys must be str, int, float, bool or None, not bytes"),
        (Members({frozenset(): 1}), TypeError, "keys must be str, int, float, bool or None, not frozenset"),
    ],
)
def test_refuses_what_json_cannot_carry(value, error, message):
    with pytest.raises(error) as info:
        _json_dumps(value)
    assert str(info.value) == message


def circular_list():
    items = [1]
    items.append([items])
    return items


def circular_dict():
    members = {"a": 1}
    members["self"] = {"again": members}
    return members


def circular_mapping():
    data = {}
    mapping = ReadOnly(data)
    data["loop"] = [mapping]
    return mapping


@pytest.mark.parametrize("make", [circular_list, circular_dict, circular_mapping])
def test_circular_structures_are_refused(make):
    with pytest.raises(ValueError, match="Circular reference detected"):
        _json_dumps(make())


def test_shared_but_not_circular_is_fine():
    shared = [1, 2]
    assert _json_dumps([shared, {"again": shared}]) == b'[[1,2],{"again":[1,2]}]'


@pytest.mark.parametrize("wrap", [lambda x: [x], lambda x: {"k": x}, lambda x: (x,)])
def test_deep_nesting_is_a_recursion_error(wrap):
    value = None
    for _ in range(100_000):
        value = wrap(value)
    with pytest.raises(RecursionError):
        _json_dumps(value)


@pytest.mark.parametrize("wrap", [lambda x: [x], lambda x: {"k": x}])
def test_deep_nesting_on_a_small_thread_stack_raises_instead_of_overflowing(wrap):
    value = None
    for _ in range(1000):
        value = wrap(value)
    outcome = []

    def write():
        try:
            outcome.append(_json_dumps(value))
        except RecursionError as error:
            outcome.append(error)

    old = threading.stack_size(64 * 1024)
    try:
        thread = threading.Thread(target=write)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert isinstance(outcome[0], RecursionError)


def test_nesting_the_reader_accepts_is_written():
    value = 1
    for _ in range(1023):
        value = [value]
    assert _json_loads(_json_dumps(value)) == value


class BadItems(collections.abc.Mapping):
    __getitem__ = __iter__ = __len__ = None

    def items(self):
        return [("ok", 1), "not a pair"]


class RaisingItems(collections.abc.Mapping):
    __getitem__ = __iter__ = __len__ = None

    def items(self):
        raise RuntimeError("items failed")


def test_a_mapping_whose_items_misbehave_raises():
    with pytest.raises(ValueError):
        _json_dumps(BadItems())
    with pytest.raises(RuntimeError, match="items failed"):
        _json_dumps({"x": RaisingItems()})


def test_a_mapping_that_mutates_the_dict_being_written_does_not_crash():
    outer = {}

    class Mutating(collections.abc.Mapping):
        __getitem__ = __iter__ = __len__ = None

        def items(self):
            outer.clear()
            outer.update({f"new{i}": list(range(50)) for i in range(50)})
            return [("m", 1)]

    outer.update({"first": Mutating(), "second": [1, 2, 3]})
    written = _json_dumps(outer)
    assert written.startswith(b'{"first":{"m":1}')
