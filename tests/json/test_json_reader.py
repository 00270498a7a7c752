"""The native JSON reader against the interpreter's json module: values, errors, limits."""

import json
import threading

import pytest
from korvane_sdk._core import _json_loads

MAX_DEPTH = 1024


def same(a, b):
    """Equal with types, float signs and dict order (repr shows all three)."""
    return repr(a) == repr(b)


CORPUS = [
    "{}",
    "[]",
    '{"a":1,"b":[true,false,null],"c":{"d":"e"}}',
    ' \t\n\r{ "a" : [ 1 , 2 ] }\r\n ',
    '"plain"',
    "0",
    "-0",
    "-0.0",
    "0.0",
    "true",
    "null",
    "12345",
    "-9223372036854775808",
    "-9223372036854775809",
    "9223372036854775807",
    "9223372036854775808",
    "18446744073709551615",
    "18446744073709551616",
    "123456789012345678901234567890123456789",
    "-123456789012345678901234567890123456789",
    "[1e400, -1e400, 1e-400, -1e-400, 5e-324, 2.2250738585072014e-308]",
    "[1.7976931348623157e308, 0.1, 1E5, 1e+5, 1e-5, 1.5e300, 100.0]",
    "3.141592653589793238462643383279502884197169399375105820974944",
    "[3.141592653589793238462643383279502884197169399375105820974944, -0.1000000000000000055511151231257827]",
    '{"k": 12345678901234567890123456.789, "m": 1234567890123.45678901234567890, "n": 1e-5000}',
    "[12345678901234567890123456789e0, 0.000000000000000000000000000000000000000001234567890123456789]",
    "[0.30000000000000004, 123456789.123456789, 9007199254740993]",
    '"\\" \\\\ \\/ \\b \\f \\n \\r \\t"',
    '"\\u0000\\u001f\\u00e9\\u4e00\\uFFFF"',
    '"\\ud83d\\ude00 pair"',
    '"\\ud800 lone high"',
    '"\\udc00 lone low"',
    '"\\ud800\\u0041 high then plain"',
    '"\\ud800\\ud800\\udc00 high then pair"',
    '"é 一 😀 raw UTF-8"',
    '{"a":1,"a":2,"b":3,"a":4}',
    '{"z":1,"y":2,"x":3,"w":{"z":1,"a":2}}',
    '{"k\\u00e9y":1,"kéy":2,"k\\"q":3}',
    '{"":0,"%s":1}' % ("x" * 200),
    "[[[[[[[[[[1]]]]]]]]]]",
    '[{"id":"t1","n":1},{"id":"t2","n":2},{"n":3,"id":"t3"}]',
    '["", [], {}, [[]], [{}], {"a":[]}]',
]


@pytest.mark.parametrize("text", CORPUS)
def test_decodes_like_the_json_module(text):
    expected = json.loads(text)
    assert same(_json_loads(text), expected)
    assert same(_json_loads(text.encode()), expected)
    assert same(_json_loads(bytearray(text.encode())), expected)


def test_many_objects_sharing_keys_come_back_whole():
    tenants = [
        {
            "id": f"tn_{i}",
            "name": f"Tenant {i}",
            "is_active": i % 2 == 0,
            "limit": i * 1000,
            "usage": i / 7,
            "settings": {"tier": "pro", "seats": i},
        }
        for i in range(3000)
    ]
    text = json.dumps(tenants)
    assert _json_loads(text) == tenants
    # Keys of every element are equal strings (the reader may share one object per key).
    decoded = _json_loads(text)
    assert {tuple(d) for d in decoded} == {("id", "name", "is_active", "limit", "usage", "settings")}


def test_many_distinct_keys_beyond_any_cache():
    document = {f"key_{i}": i for i in range(5000)}
    document.update({"k" * 100: "long", "é" * 10: "non-ascii"})
    assert _json_loads(json.dumps(document)) == document


def test_utf8_byte_order_mark_skipped_in_bytes_refused_in_str():
    assert _json_loads(b"\xef\xbb\xbf[1]") == [1]
    for text in ("\ufeff[1]", b"\xef\xbb\xbf\xef\xbb\xbf[1]"):  # a str's mark, or a second one
        with pytest.raises(json.JSONDecodeError) as info:
            _json_loads(text)
        with pytest.raises(json.JSONDecodeError) as theirs:
            json.loads(text)
        assert str(info.value) == str(theirs.value)


NON_FINITE = [
    "NaN",
    "Infinity",
    "-Infinity",
    " NaN ",
    "[NaN, Infinity, -Infinity]",
    '{"loss": NaN, "grad": [Infinity, -Infinity, 1.5], "nested": {"x": -Infinity}}',
    "[1, NaN]",
    '{"a":NaN}',
    "[[NaN],[[Infinity]]]",
]


@pytest.mark.parametrize("text", NON_FINITE)
def test_non_finite_constants_read_as_the_json_module_reads_them(text):
    expected = json.loads(text)
    for data in (text, text.encode()):
        assert same(_json_loads(data), expected)


# Refused texts: each must raise what json.loads raises for it, with the same message, position
# and document. Many of them stop at places the reader finds differently from the json module.
ERRORS = [
    "",
    "   ",
    "[1] x",
    "1 2",
    '{"a":1}}',
    '"x"y',
    "[1,]",
    "[,1]",
    '{"a":}',
    "[tru]",
    "[nul]",
    "[truex]",
    "tru",
    "[1 true]",
    "0x10x10x1}",
    "nan",
    "[nan]",
    "-NaN",
    "+Infinity",
    "[-Inf]",
    "Infinityx",
    "[NaN1]",
    "NaN NaN",
    "[-Infinity",
    "infinity",
    "[01]",
    "[1.]",
    "[1e]",
    "[-]",
    "[.5]",
    "[+1]",
    "123abc",
    "1.",
    "-",
    "01",
    '["a\\x"]',
    '["\\u12"]',
    '["\\u12g4"]',
    '{"\\q":1}',
    '["ok", "a\tb"]',
    '["ok", "abc',
    "[1 2]",
    '{"a" 1}',
    '{"a":1 "b":2}',
    '{"a":1,}',
    "{1:2}",
    "[",
    "{",
    "[1]]",
    '{"a":1}]',
    "[{}",
    " [ 1 , 2 ",
    '{"a":[1}',
    "[1, ",
    '{"a":',
    "[0,2",
    '{"a":1,',
    "[-12",
    "\x00",
    '{"a": "": null}}',
    '["a": null]]',
    '{"a": {"b": "y": 2}}}',
    '{"a": "x", "b": "y": 2}',
    "[1,,2]",
    '{"a":1,,"b":2}',
    '{"a"}',
    '{"a":1]',
    "[1}",
    "]",
    "}",
    ":",
    '"\\ud800\\u"',
    "[true false]",
    "[1]\n[2]",
    '{"é": [1 2]}',
    '["é", ]',
    "\ufeff[1]",
    "[1] \ufeff",
]


def refusal(data):
    try:
        value = json.loads(data)
    except ValueError as error:
        return type(error), str(error), getattr(error, "doc", None), getattr(error, "pos", None)
    raise AssertionError(f"json.loads accepts {data!r}: {value!r}")


def refusal_of_ours(data):
    try:
        value = _json_loads(data)
    except ValueError as error:
        return type(error), str(error), getattr(error, "doc", None), getattr(error, "pos", None)
    raise AssertionError(f"accepted {data!r}: {value!r}")


@pytest.mark.parametrize("text", ERRORS)
def test_refusals_are_those_of_the_json_module(text):
    data_forms = [text]
    if not text.startswith("\ufeff"):
        data_forms.append(text.encode())
    for data in data_forms:
        assert refusal_of_ours(data) == refusal(data)


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b" \r\n\t",
        b"<html>busy</html>",
        b"Internal Server Error\n",
        b"\xef\xbb\xbfplain",  # after the byte order mark json.loads skips
        b"\xef\xbb\xbf\xef\xbb\xbfx",  # a second mark
        b" \xef\xbb\xbf1",
        b"\xed\xa0\x80x",  # a surrogate encoded in UTF-8
        b"x\xff",  # not UTF-8
        b"\x01\x00\x00\x00",  # UTF-32 to json.loads
        b"x\x00",  # UTF-16 to json.loads
        b"\x00",
    ],
)
def test_bodies_that_open_no_json_value_are_refused_as_json_loads_refuses_them(data):
    assert refusal_of_ours(data) == refusal(data)


@pytest.mark.parametrize(
    "data",
    [
        b'["\xff"]',
        b'["ok", "\xc3"]',
        b'["\xc3\xa9", "\xc0\xaf"]',
        b"\xfe",
        b"[1, 2\x80]",
    ],
)
def test_bytes_that_are_not_utf8_raise_what_json_loads_raises(data):
    """UnicodeDecodeError, naming the same byte, as json.loads does for bytes."""
    theirs = refusal(data)
    assert theirs[0] is UnicodeDecodeError
    assert refusal_of_ours(data) == theirs


@pytest.mark.parametrize(
    "data",
    [
        '["\ud800"]',  # a str with a raw lone surrogate
        b'{"\xed\xa0\x80":1}',  # a surrogate encoded in UTF-8 bytes
        "[1, 2]".encode("utf-16-le"),
        "[1, 2]".encode("utf-16"),
        '{"a": "é"}'.encode("utf-32-be"),
        b"1\x00",  # two bytes, the second NUL: UTF-16 to json.loads
    ],
)
def test_texts_json_loads_accepts_beyond_plain_utf8(data):
    assert same(_json_loads(data), json.loads(data))


def test_refusals_of_generated_texts_match_the_json_module():
    """Broken variants of valid texts (a byte dropped, doubled or replaced) are refused exactly as
    json.loads refuses them, and read alike where json.loads accepts them."""
    import random

    rng = random.Random(1515)
    seeds = [t for t in CORPUS + NON_FINITE if len(t) > 1]
    alphabet = '[]{}:,"\\ 0123456789.eE+-tfnNIaul\t\n'
    for _ in range(4000):
        text = rng.choice(seeds)
        at = rng.randrange(len(text))
        action = rng.randrange(3)
        if action == 0:
            text = text[:at] + text[at + 1 :]
        elif action == 1:
            text = text[:at] + text[at] + text[at:]
        else:
            text = text[:at] + rng.choice(alphabet) + text[at + 1 :]
        try:
            expected = json.loads(text)
        except ValueError:
            assert refusal_of_ours(text) == refusal(text), text
            assert refusal_of_ours(text.encode()) == refusal(text.encode()), text
        else:
            assert same(_json_loads(text), expected), text


@pytest.mark.parametrize(
    "opening, closing",
    [("[", "]"), ('{"a":', "}"), ('[{"a":', "}]")],
)
def test_nesting_is_bounded(opening, closing):
    depth_of = opening.count("[") + opening.count("{")
    levels = MAX_DEPTH // depth_of
    assert _json_loads(opening * levels + "1" + closing * levels) is not None
    too_deep = levels + 1
    with pytest.raises(json.JSONDecodeError) as info:
        _json_loads(opening * too_deep + "1" + closing * too_deep)
    assert info.value.msg == "Nesting too deep"
    for unclosed in (opening * 100_000, opening * 100_000 + "1" + closing * 100_000):
        with pytest.raises(json.JSONDecodeError):
            _json_loads(unclosed)


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"a":' * 1000 + "1" + "}" * 1000, "Nesting too deep"),
        ("[" * 1000 + "]" * 1000, "Nesting too deep"),
        ("[" * 400 + "x", None),  # refused before the reader's bound: json.loads must not recurse here either
        ("[" * 400 + "}", None),
        ("[" * 400, None),
    ],
)
def test_deep_nesting_on_a_small_thread_stack_raises_instead_of_overflowing(text, message):
    outcome = []

    def parse():
        try:
            outcome.append(_json_loads(text))
        except json.JSONDecodeError as error:
            outcome.append(error)

    old = threading.stack_size(96 * 1024)
    try:
        thread = threading.Thread(target=parse)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert isinstance(outcome[0], json.JSONDecodeError)
    assert "ERROR" not in outcome[0].msg  # never the parser's internal text
    if message:
        assert outcome[0].msg == message


def test_integer_beyond_the_conversion_limit_is_refused_as_json_loads_refuses_it():
    text = "[" + "7" * 5000 + "]"
    assert refusal_of_ours(text) == refusal(text)


@pytest.mark.parametrize("data", [5, None, 1.5, ["[]"], memoryview(b"[]")])
def test_only_text_is_accepted(data):
    with pytest.raises(TypeError, match="must be str, bytes or bytearray"):
        _json_loads(data)


def test_a_big_answer_then_small_ones():
    big = '["' + "a" * 9_000_000 + '", 1]'
    assert _json_loads(big)[1] == 1
    assert _json_loads('{"small":true}') == {"small": True}


def test_threads_parse_side_by_side():
    documents = [json.dumps({"thread": t, "items": list(range(t * 50, t * 50 + 200))}) for t in range(4)]
    failures = []

    def work(t):
        for _ in range(100):
            if _json_loads(documents[t]) != json.loads(documents[t]):
                failures.append(t)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_parse_inside_a_finalizer_that_runs_mid_parse():
    """A collection triggered by the reader may run a finalizer that parses too."""
    import gc

    seen = []

    class Parses:
        def __del__(self):
            seen.append(_json_loads('{"inner":[1,2,3]}'))

    text = json.dumps([{"k": [i]} for i in range(20000)])
    old = gc.get_threshold()
    gc.disable()
    try:
        for _ in range(30):  # garbage only a collection can free, left for the parse to trigger
            cycle = [Parses()]
            cycle.append(cycle)
            del cycle
        gc.set_threshold(50)
        gc.enable()
        result = _json_loads(text)
        parsed_during = len(seen)
    finally:
        gc.set_threshold(*old)
        gc.enable()
    gc.collect()
    assert result == json.loads(text)
    assert parsed_during > 0
    assert all(s == {"inner": [1, 2, 3]} for s in seen)
