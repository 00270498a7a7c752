"""Random documents: the native codec agrees with the json module, and round-trips."""

import json

from hypothesis import given, settings
from hypothesis import strategies as st
from korvane_sdk._core import _json_dumps, _json_loads

SETTINGS = settings(max_examples=100, deadline=None, database=None)

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**200), max_value=2**200)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=20)
)
keys = st.text(max_size=12) | st.sampled_from(["id", "name", "value", "id", "k\u00e9y", 'q"uote'])
documents = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=6) | st.dictionaries(keys, children, max_size=6),
    max_leaves=40,
)
# Text including lone surrogates, which only escapes can carry in UTF-8.
surrogate_text = st.text(st.characters(blacklist_categories=()), max_size=20)


def same(a, b):
    return repr(a) == repr(b)


@SETTINGS
@given(documents)
def test_writer_matches_json_dumps_and_reader_reads_it_back(value):
    written = _json_dumps(value)
    assert written == json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode()
    assert same(_json_loads(written), value)


@SETTINGS
@given(documents, st.sampled_from([None, 0, 2]), st.booleans(), st.sampled_from([(",", ":"), (" , ", " : ")]))
def test_reader_matches_json_loads_on_any_layout(value, indent, ensure_ascii, separators):
    text = json.dumps(value, indent=indent, ensure_ascii=ensure_ascii, separators=separators)
    assert same(_json_loads(text), json.loads(text))
    assert same(_json_loads(text.encode()), json.loads(text))


@SETTINGS
@given(st.lists(surrogate_text, max_size=5))
def test_any_str_round_trips_through_valid_utf8(texts):
    value = {t: t for t in texts}
    written = _json_dumps(value)
    written.decode("utf-8")
    assert _json_loads(written) == json.loads(written)
    escaped = json.dumps(value)  # ASCII only, surrogates as escapes
    assert _json_loads(escaped) == json.loads(escaped)


ALPHABET = '[]{}",:0123456789.eE+-tfnrul\\ \t\nax'


@SETTINGS
@given(documents, st.data())
def test_damaged_text_is_refused_exactly_when_json_loads_refuses_it(value, data):
    text = json.dumps(value)
    for _ in range(data.draw(st.integers(1, 3))):
        at = data.draw(st.integers(0, len(text)))
        action = data.draw(st.sampled_from(["insert", "delete", "replace"]))
        char = data.draw(st.sampled_from(ALPHABET))
        if action == "insert":
            text = text[:at] + char + text[at:]
        elif action == "delete":
            text = text[:at] + text[at + 1 :]
        else:
            text = text[:at] + char + text[at + 1 :]
    try:
        expected = json.loads(text)
    except ValueError:
        expected = ValueError
    try:
        got = _json_loads(text)
    except json.JSONDecodeError:
        got = ValueError
    assert same(got, expected), text
