// Fuzz target: the walk over a streamed chunk's top-level members, against json.loads.
//
// Input: any bytes. When json.loads reads them as an object, the walk must succeed and its members,
// each key and value read by json.loads, must make the same dict in the same order (duplicate keys:
// the last wins, as in json.loads), and the end check must say of each member's value that it
// closes the object exactly when it is the last one. Other input must only never crash or overrun.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "api/chat/chunk_members.hpp"
#include "python_embed.hpp"

namespace {

namespace nb = nanobind;

constexpr const char* kHelpers = R"(
import json

def expected(data):
    """The object json.loads reads from the bytes, or None when they are not a JSON object."""
    try:
        value = json.loads(data.decode('utf-8'))
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    return value if isinstance(value, dict) else None

def walked(pairs):
    """The dict the walk's (key bytes, value bytes) pairs make, each read by json.loads."""
    return {json.loads(key.decode('utf-8')): json.loads(value.decode('utf-8')) for key, value in pairs}

def same(a, b):
    try:
        return list(a.keys()) == list(b.keys()) and json.dumps(a) == json.dumps(b)
    except RecursionError:  # nested too deep to write back; the keys were compared
        return list(a.keys()) == list(b.keys())
)";

PyObject* g_expected;
PyObject* g_walked;
PyObject* g_same;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_python();
    PyObject* helpers = fuzz::load_helpers(kHelpers);
    g_expected = fuzz::helper(helpers, "expected");
    g_walked = fuzz::helper(helpers, "walked");
    g_same = fuzz::helper(helpers, "same");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    nb::list pairs;
    std::vector<std::size_t> value_at;
    const bool whole = korvane::api::walk_object_members(text, [&](std::string_view key, std::string_view value) {
        value_at.push_back(static_cast<std::size_t>(value.data() - text.data()));
        // Bytes, not text: the input need not be UTF-8, and the walk must not care.
        pairs.append(nb::make_tuple(nb::bytes(key.data(), key.size()), nb::bytes(value.data(), value.size())));
    });
    nb::object want = nb::steal(PyObject_CallOneArg(g_expected, nb::bytes(data, size).ptr()));
    FUZZ_CHECK_PY(want.is_valid());
    if (want.is_none()) return 0;
    FUZZ_CHECK(whole);
    nb::object got = nb::steal(PyObject_CallOneArg(g_walked, pairs.ptr()));
    FUZZ_CHECK_PY(got.is_valid());
    nb::object same = nb::steal(PyObject_CallFunctionObjArgs(g_same, got.ptr(), want.ptr(), nullptr));
    FUZZ_CHECK_PY(same.is_valid());
    FUZZ_CHECK(same.ptr() == Py_True);
    for (std::size_t i = 0; i < value_at.size(); ++i) {
        FUZZ_CHECK(korvane::api::is_last_member_value(text, value_at[i]) == (i + 1 == value_at.size()));
    }
    return 0;
}
