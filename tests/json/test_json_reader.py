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
        {"id": f"tn_{i}", "name": f"Tenant {i}", "is_active": i % 2 == 0, "limit": i * 1000,
         "usage": i / 7, "settings": {"tier": "pro", "seats": i}}
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
        assert info.value.msg.startswith("Unexpected UTF-8 BOM")


# (text, message, character position) - messages follow the json module's where it has one.
ERRORS = [
    ("", "Expecting value", 0),
    ("   ", "Expecting value", 3),
    ("[1] x", "Extra data", 4),
    ("1 2", "Extra data", 2),
    ('{"a":1}}', "Extra data", 7),
    ('"x"y', "Extra data", 3),
    ("[1,]", "Expecting value", 3),
    ("[,1]", "Expecting value", 1),
    ('{"a":}', "Expecting value", 5),
    ("[tru]", "Expecting value", 1),
    ("[nul]", "Expecting value", 1),
    ("[truex]", "Expecting value", 1),
    ("tru", "Expecting value", 0),
    ("NaN", None, 0),
    ("[NaN]", "Expecting value", 1),
    ("[Infinity]", "Expecting value", 1),
    ("[-Infinity]", "Invalid number", 1),
    ("[01]", "Invalid number", 1),
    ("[1.]", "Invalid number", 1),
    ("[1e]", "Invalid number", 1),
    ("[-]", "Invalid number", 1),
    ("[.5]", "Expecting value", 1),
    ("[+1]", "Expecting value", 1),
    ("123abc", "Expecting value", 0),
    ('["a\\x"]', "Invalid \\escape", 3),
    ('["\\u12"]', "Invalid \\uXXXX escape", 2),
    ('["\\u12g4"]', "Invalid \\uXXXX escape", 2),
    ('{"\\q":1}', "Invalid \\escape", 2),
    ('["ok", "a\tb"]', "Invalid control character at", 9),
    ('["ok", "abc', "Unterminated string starting at", 7),
    ("[1 2]", None, 3),
    ('{"a" 1}', None, 5),
    ('{"a":1 "b":2}', None, 7),
    ('{"a":1,}', None, 7),
    ("{1:2}", None, 1),
    ("[", "Expecting value", 1),
    ("{", None, 1),
    ("[1]]", "Extra data", 3),
    ('{"a":1}]', "Extra data", 7),
    ("[{}", "Expecting ',' delimiter", 3),
    (" [ 1 , 2 ", "Expecting ',' delimiter", 9),
    ('{"a":[1}', None, 7),
    # Text that breaks off where a value or a number's end is due.
    ("[1, ", "Expecting value", 4),
    ('{"a":', "Expecting value", 5),
    ("[0,2", "Expecting ',' delimiter", 4),
    ('{"a":1,', None, 7),
    ("[-12", "Expecting ',' delimiter", 4),
    ("\x00", None, 0),
    ('{"a": "": null}}', None, 8),
    ('["a": null]]', None, 4),
    ('{"a": {"b": "y": 2}}}', None, 15),
    ('{"a": "x", "b": "y": 2}', None, 19),
]


@pytest.mark.parametrize("text, message, pos", ERRORS)
def test_refuses_what_is_not_one_json_value(text, message, pos):
    for data in (text, text.encode()):
        with pytest.raises(json.JSONDecodeError) as info:
            _json_loads(data)
        error = info.value
        assert error.doc == text
        if message is not None:
            assert error.msg == message
        if pos is not None:
            assert error.pos == pos
        assert json.JSONDecodeError is type(error)
    # The json module refuses every one of them as well (it accepts NaN and Infinity: JSON does not).
    if "NaN" not in text and "Infinity" not in text:
        with pytest.raises(ValueError):
            json.loads(text)


@pytest.mark.parametrize(
    "data, pos",
    [(b'["\xff"]', 2), (b'["ok", "\xc3"]', 8), (b'{"\xed\xa0\x80":1}', 2), (b"[\"\xc3\xa9\", \"\xc0\xaf\"]", 7)],
)
def test_invalid_utf8_is_a_decode_error_at_the_bad_byte(data, pos):
    with pytest.raises(json.JSONDecodeError) as info:
        _json_loads(data)
    assert info.value.msg == "Invalid UTF-8"
    assert info.value.pos == pos
    assert info.value.doc == data.decode("utf-8", "replace")


def test_str_with_raw_lone_surrogate_is_a_decode_error():
    with pytest.raises(json.JSONDecodeError):
        _json_loads('["\ud800"]')


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


@pytest.mark.parametrize("text", ['{"a":' * 1000 + "1" + "}" * 1000, "[" * 1000 + "]" * 1000])
def test_deep_nesting_on_a_small_thread_stack_raises_instead_of_overflowing(text):
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
    assert outcome[0].msg == "Nesting too deep"


def test_integer_beyond_the_conversion_limit_is_a_decode_error():
    with pytest.raises(json.JSONDecodeError) as info:
        _json_loads("[" + "7" * 5000 + "]")
    assert "limit" in info.value.msg
    assert info.value.pos == 1


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
