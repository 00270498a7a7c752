// Fuzz target: shaped reading (objects of a known layout built from their member values) against
// a reference built on the interpreter's json.loads.
//
// Input: the first byte picks the top shape (an object, or an array of objects); the rest is the
// JSON text as received. The shape knows the keys "a", "b" (an object of the same shape), "c"
// (an array of such objects) and "d"; its finish makes a dict of the known members in that
// order and fails when "a" is the text "fail". The reader must give exactly what the reference
// gives: the same value, or nothing (no Python error left behind) when the text is not JSON, does
// not have the expected top value, holds a value left to the general path (general_only), or any
// shaped object anywhere failed, repeated members included.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/json.hpp"
#include "json/shape.hpp"
#include "python_embed.hpp"

namespace {

namespace nb = nanobind;
using korvane::json::ObjectShape;
using korvane::json::Shape;

constexpr const char* kHelpers = R"(
import json, math, sys
sys.setrecursionlimit(20000)

KEYS = ['a', 'b', 'c', 'd']
FAIL = object()

class Pairs(list):
    pass

def _refuse_constant(name):
    raise ValueError('not a JSON value: ' + name)

def plain(v):
    """A value as json.loads gives it (the last of repeated members wins)."""
    if isinstance(v, Pairs):
        d = {}
        for k, x in v:
            d[k] = plain(x)
        return d
    if isinstance(v, list):
        return [plain(x) for x in v]
    return v

def depth(v):
    if isinstance(v, list):
        return 1 + max((depth(x[1] if isinstance(v, Pairs) else x) for x in v), default=0)
    return 0

def shaped(pairs):
    """What the shape makes of an object; FAIL when it or anything shaped inside it fails."""
    values, failed = {}, False
    for k, x in pairs:
        if k == 'b':
            y = shaped(x) if isinstance(x, Pairs) else plain(x)
            failed = failed or y is FAIL
        elif k == 'c':
            if isinstance(x, list) and not isinstance(x, Pairs):
                y = [shaped(e) if isinstance(e, Pairs) else plain(e) for e in x]
                failed = failed or any(e is FAIL for e in y)
            else:
                y = plain(x)
        elif k in KEYS:
            y = plain(x)
        else:
            continue
        values[k] = y
    if failed:
        return FAIL
    out = {k: values[k] for k in KEYS if k in values}
    return FAIL if out.get('a') == 'fail' else out

def general_only(v):
    """Values the shaped reader leaves to the general path wherever they stand: lone surrogates,
    integers beyond 64 bits, numbers beyond the double range."""
    if isinstance(v, Pairs):
        return any(general_only(k) or general_only(x) for k, x in v)
    if isinstance(v, list):
        return any(general_only(x) for x in v)
    if isinstance(v, str):
        return any(0xD800 <= ord(c) < 0xE000 for c in v)
    if isinstance(v, bool):
        return False
    if isinstance(v, int):
        return not -2**63 <= v < 2**64
    if isinstance(v, float):
        return math.isinf(v)
    return False

def reference(data, array):
    """(True, value), (False, None) or (None, None) when the nesting is too deep to judge."""
    try:
        v = json.loads(data.decode('utf-8'), parse_constant=_refuse_constant, object_pairs_hook=Pairs)
    except RecursionError:
        return None, None
    except ValueError:
        return False, None
    if data.startswith(b'\xef\xbb\xbf'):
        return False, None  # shaped reading takes no byte order mark: the general path does
    if depth(v) > 900:
        return None, None
    if general_only(v):
        return False, None
    if array:
        if not isinstance(v, list) or isinstance(v, Pairs):
            return False, None
        out = [shaped(e) if isinstance(e, Pairs) else plain(e) for e in v]
        return (False, None) if any(e is FAIL for e in out) else (True, out)
    if not isinstance(v, Pairs):
        return False, None
    out = shaped(v)
    return (False, None) if out is FAIL else (True, out)

def same(a, b):
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return (a != a and b != b) or (a == b and math.copysign(1.0, a) == math.copysign(1.0, b))
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b
)";

PyObject* g_reference;
PyObject* g_same;
// Never destroyed: the values its reads keep stay reachable, as the module's shapes do.
ObjectShape& g_shape = *new ObjectShape();

PyObject* finish(const ObjectShape& shape, PyObject* const* values) {
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < shape.keys.size(); ++i) {
        if (!values[i]) continue;
        if (i == 0 && PyUnicode_Check(values[i]) && PyUnicode_CompareWithASCIIString(values[i], "fail") == 0) {
            Py_DECREF(dict);
            PyErr_SetString(PyExc_ValueError, "refused");  // must not outlive the read
            return nullptr;
        }
        if (PyDict_SetItemString(dict, shape.keys[i].c_str(), values[i]) < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_python();
    PyObject* helpers = fuzz::load_helpers(kHelpers);
    g_reference = fuzz::helper(helpers, "reference");
    g_same = fuzz::helper(helpers, "same");
    g_shape.keys = {"a", "b", "c", "d"};
    g_shape.members = {Shape{}, Shape{&g_shape, false}, Shape{&g_shape, true}, Shape{}};
    g_shape.finish = &finish;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool array = data[0] & 1;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    nb::bytes bytes(text.data(), text.size());
    nb::object reference = nb::steal(
        PyObject_CallFunctionObjArgs(g_reference, bytes.ptr(), array ? Py_True : Py_False, nullptr));
    FUZZ_CHECK_PY(reference.is_valid());
    nb::handle accepted = PyTuple_GET_ITEM(reference.ptr(), 0);
    nb::handle expected = PyTuple_GET_ITEM(reference.ptr(), 1);

    nb::object value = korvane::json::parse_shaped(text, Shape{&g_shape, array});
    FUZZ_CHECK_PY(!PyErr_Occurred());
    if (value.is_valid() && (PyList_CheckExact(value.ptr()) || PyDict_CheckExact(value.ptr()))) {
        FUZZ_CHECK(Py_REFCNT(value.ptr()) == 1);  // a new container is ours alone
    }
    if (accepted.is_none()) return 0;  // too deep for the reference to judge
    FUZZ_CHECK(value.is_valid() == (accepted.ptr() == Py_True));
    if (value.is_valid()) {
        nb::object same = nb::steal(PyObject_CallFunctionObjArgs(g_same, value.ptr(), expected.ptr(), nullptr));
        FUZZ_CHECK_PY(same.is_valid());
        FUZZ_CHECK(same.ptr() == Py_True);
    }
    return 0;
}
