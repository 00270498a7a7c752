// Fuzz target: the classification of server-sent event lines, against str.startswith and
// str.strip of the interpreter.
//
// Input: one line of a streamed answer (taken only when it is valid UTF-8, as the stream reader
// checks before classifying).
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/chat/sse_line.hpp"
#include "python_embed.hpp"

namespace {

namespace nb = nanobind;

constexpr const char* kHelpers = R"(
def expected(data):
    """None for a line that is not UTF-8, else (kind, data after the prefix, text stripped)."""
    try:
        line = data.decode('utf-8')
    except UnicodeDecodeError:
        return None
    stripped = line.strip().encode('utf-8')
    if not line.startswith('data: '):
        return 'skip', b'', stripped
    rest = line[6:]
    return ('done' if rest.strip() == '[DONE]' else 'data'), rest.encode('utf-8'), stripped
)";

PyObject* g_expected;

std::string_view view(nb::handle bytes) {
    return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_python();
    g_expected = fuzz::helper(fuzz::load_helpers(kHelpers), "expected");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvane::api::SseLine;
    nb::object want = nb::steal(PyObject_CallOneArg(g_expected, nb::bytes(data, size).ptr()));
    FUZZ_CHECK_PY(want.is_valid());
    if (want.is_none()) return 0;
    const std::string_view line(reinterpret_cast<const char*>(data), size);

    FUZZ_CHECK(korvane::api::strip_unicode_whitespace(line) == view(PyTuple_GET_ITEM(want.ptr(), 2)));
    const korvane::api::ClassifiedLine got = korvane::api::classify_sse_line(line);
    const std::string_view kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(want.ptr(), 0));
    FUZZ_CHECK(kind == (got.kind == SseLine::skip ? "skip" : got.kind == SseLine::done ? "done" : "data"));
    if (got.kind == SseLine::data) FUZZ_CHECK(got.data == view(PyTuple_GET_ITEM(want.ptr(), 1)));
    return 0;
}
