// Fuzz target: the JSON reader into Python objects against the interpreter's json.loads.
//
// Input: the JSON text as received. The reader must accept exactly what json.loads accepts for
// these bytes and give an equal value, or refuse with json.loads's own exception (same type, same
// text), both from its own padded copy and from text whose padding holds arbitrary bytes. What it
// reads is written back and must read back the same and match json.dumps.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "python_embed.hpp"

namespace {

namespace nb = nanobind;

constexpr const char* kHelpers = R"(
import json, math, re, sys
sys.setrecursionlimit(20000)

def reference(data):
    """(True, value) or (False, refusal) for the bytes as JSON text; (None, None) when json
    itself gives up on the nesting."""
    try:
        return True, json.loads(data)
    except RecursionError:
        return None, None
    except ValueError as error:
        return False, refusal(error)

def refusal(error):
    return type(error).__name__ + ': ' + str(error)

def same(a, b):
    """Equal values of the same types, float signs and member order included."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        if a != a:
            return b != b
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if type(a) is list:
        if len(a) != len(b):
            return False
        for x, y in zip(a, b):
            if not same(x, y):
                return False
        return True
    if type(a) is dict:
        if list(a) != list(b):
            return False
        for key in a:
            if not same(a[key], b[key]):
                return False
        return True
    return a == b

_surrogate = re.compile('[\ud800-\udfff]')

def dumped(value):
    """What the writer must give for a value: json.dumps' compact text in UTF-8, lone
    surrogates escaped; None when json.dumps refuses the value."""
    try:
        text = json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(',', ':'))
    except (ValueError, RecursionError):
        return None
    return _surrogate.sub(lambda m: '\\u%04x' % ord(m.group()), text).encode('utf-8')

def read_back(data):
    """What the interpreter reads from written text (a lone high surrogate written just before a
    lone low one reads back as one pair: JSON cannot tell them apart once escaped)."""
    return json.loads(data)

def message(error):
    return getattr(error, 'msg', '')
)";

PyObject* g_reference;
PyObject* g_same;
PyObject* g_dumped;
PyObject* g_read_back;
PyObject* g_message;
PyObject* g_refusal;

nb::object call(PyObject* function, nb::handle argument) {
    nb::object result = nb::steal(PyObject_CallOneArg(function, argument.ptr()));
    FUZZ_CHECK_PY(result.is_valid());
    return result;
}

bool same(nb::handle a, nb::handle b) {
    nb::object result = nb::steal(PyObject_CallFunctionObjArgs(g_same, a.ptr(), b.ptr(), nullptr));
    FUZZ_CHECK_PY(result.is_valid());
    return result.ptr() == Py_True;
}

// Outcome of one read: the value, or no value after a refusal (its json message and the
// refusal's type and text kept).
struct Outcome {
    nb::object value;
    std::string message;
    nb::object refusal;
};

template <typename Read>
Outcome read(Read&& read_text) {
    try {
        nb::object value = read_text();
        FUZZ_CHECK(value.is_valid());
        // A new container is ours alone: another reference would never be dropped.
        if (PyList_CheckExact(value.ptr()) || PyDict_CheckExact(value.ptr())) FUZZ_CHECK(Py_REFCNT(value.ptr()) == 1);
        return {value, {}};
    } catch (nb::python_error& error) {
        // Every refusal is a ValueError (json.JSONDecodeError, UnicodeDecodeError), never another
        // kind of error.
        FUZZ_CHECK(error.matches(PyExc_ValueError));
        nb::object text = call(g_message, error.value());
        const char* message = PyUnicode_AsUTF8(text.ptr());
        FUZZ_CHECK_PY(message);
        return {nb::object(), message, call(g_refusal, error.value())};
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_python();
    PyObject* helpers = fuzz::load_helpers(kHelpers);
    g_reference = fuzz::helper(helpers, "reference");
    g_same = fuzz::helper(helpers, "same");
    g_dumped = fuzz::helper(helpers, "dumped");
    g_read_back = fuzz::helper(helpers, "read_back");
    g_message = fuzz::helper(helpers, "message");
    g_refusal = fuzz::helper(helpers, "refusal");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    nb::object reference = call(g_reference, nb::bytes(text.data(), text.size()));
    nb::handle accepted = PyTuple_GET_ITEM(reference.ptr(), 0);
    nb::handle expected = PyTuple_GET_ITEM(reference.ptr(), 1);

    // The same text with the padding the reader may look into filled with something that could
    // pass for JSON if it were ever taken as part of the text.
    static constexpr char kFill[] = {'\0', '"', ']', '}', '1', ' ', '\\', ','};
    const std::size_t padded_size = size + korvane::json::kPadding;
    auto padded = std::make_unique<char[]>(padded_size);
    std::memcpy(padded.get(), data, size);
    std::memset(padded.get() + size, kFill[size / 2 % sizeof kFill], korvane::json::kPadding);
    if (size % 2) padded[size] = '\0';  // the terminator a std::string has: read in place

    const Outcome outcomes[] = {
        read([&] { return korvane::json::parse(text); }),
        read([&] { return korvane::json::parse_padded(std::string_view(padded.get(), size)); }),
    };
    for (const Outcome& outcome : outcomes) {
        if (accepted.is_none()) continue;  // json.loads gave up on the depth
        if (!outcome.value.is_valid() && outcome.message == "Nesting too deep") continue;  // ours is bounded
        FUZZ_CHECK(outcome.value.is_valid() == (accepted.ptr() == Py_True));
        if (outcome.value.is_valid())
            FUZZ_CHECK(same(outcome.value, expected));
        else
            FUZZ_CHECK(PyObject_RichCompareBool(outcome.refusal.ptr(), expected.ptr(), Py_EQ) == 1);
    }

    // What was read, written back: the text json.dumps gives, and the same value when read again.
    const nb::object& value = outcomes[0].value;
    if (!value.is_valid()) return 0;
    nb::object want = call(g_dumped, value);
    std::string written;
    try {
        korvane::json::write(value, written);
    } catch (nb::python_error& error) {
        // Only what JSON cannot carry: NaN and infinities (read as such or from 1e400), or the depth.
        FUZZ_CHECK(error.matches(PyExc_ValueError) || error.matches(PyExc_RecursionError));
        return 0;
    }
    if (!want.is_none()) {
        FUZZ_CHECK(std::string_view(PyBytes_AS_STRING(want.ptr()),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(want.ptr()))) == written);
    }
    const Outcome again = read([&] { return korvane::json::parse(written); });
    nb::object expected_again = call(g_read_back, nb::bytes(written.data(), written.size()));
    FUZZ_CHECK(again.value.is_valid() && same(again.value, expected_again));
    return 0;
}
