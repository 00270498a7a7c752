// Fuzz target: sequences of records read straight from JSON text, in one process, against the
// general path (decode, then validate) as reference.
//
// Input: segments separated by a NUL byte; each segment's first byte picks a record class (bits
// 0-4), whether the text goes through a prepared reader made just now (bit 6: a reader is made
// once per class in the module, so this is the only way one process sees readers made after any
// sequence of reads) and whether its result is kept alive for a while (bit 7); the rest is the
// JSON text. The direct reader keeps values between reads (member memos, the key cache, parser
// buffers, prepared readers, nested shapes shared by classes), so faults of ownership show only
// across reads of different classes, and only when the objects involved are freed and reused:
// every record here lives on the C heap (the embedded interpreter uses malloc), so
// AddressSanitizer sees a use after free at once. Each read must give what a trivial subclass
// gives (a subclass always takes the general path): the same record, or the same problems.
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bindings.hpp"
#include "python_embed.hpp"
#include "records/from_json.hpp"

namespace {

namespace nb = nanobind;

constexpr const char* kHelpers = R"(
def prepare(module):
    global CLASSES, GENERAL, BaseModel, ValidationError
    BaseModel, ValidationError = module.BaseModel, module.ValidationError
    CLASSES = sorted((v for v in vars(module).values()
                      if isinstance(v, type) and issubclass(v, BaseModel) and v is not BaseModel),
                     key=lambda c: c.__name__)
    GENERAL = [type(c.__name__, (c,), {}) for c in CLASSES]
    return [c.__name__ for c in CLASSES]

def outcome(cls, data):
    try:
        made = cls.model_validate_json(data)
    except ValidationError as error:
        return made_nothing(error), None
    return repr(made.model_dump()), made

def made_nothing(error):
    return [(e['type'], e['loc'], e['msg'], repr(e.get('input'))) for e in error.errors()]

def read(index, data):
    """The direct read, checked against the general one; the record (or None) for keeping."""
    got, record = outcome(CLASSES[index], data)
    expected, _ = outcome(GENERAL[index], data)
    if got != expected:
        raise AssertionError('%s: %r\ndirect:  %r\ngeneral: %r' % (CLASSES[index].__name__, data, got, expected))
    if record is not None:
        copy = type(record).model_validate_json(record.model_dump_json())
        if copy != record:
            raise AssertionError('read back differs: %r / %r' % (record, copy))
    return record

def check_direct(index, data, made):
    """A record a new prepared reader made is the general path's record (when it declines, the
    general path alone decides: nothing to compare)."""
    if made is None:
        return
    expected, _ = outcome(GENERAL[index], data)
    if type(made) is not CLASSES[index] or repr(made.model_dump()) != expected:
        raise AssertionError('%s: %r\nnew reader: %r\ngeneral: %r' % (CLASSES[index].__name__, data, made, expected))
)";

using korvane::records::JsonRecords;

PyObject* g_read;
PyObject* g_check_direct;
std::vector<std::string> g_names;  // record class names, in the helpers' order
// Prepared readers made by the inputs, the oldest destroyed when a new one comes (its kept
// values released with it).
std::array<std::unique_ptr<JsonRecords>, 4> g_readers;
std::size_t g_next_reader = 0;
// Results kept alive across segments and inputs, so that values made by one read are still
// referenced (or just released) when later reads of other classes run.
std::array<PyObject*, 8> g_kept{};
std::size_t g_next_kept = 0;

void keep(PyObject* record) {
    PyObject* old = g_kept[g_next_kept];
    g_kept[g_next_kept] = record;
    g_next_kept = (g_next_kept + 1) % g_kept.size();
    Py_XDECREF(old);
}

// Reads `text` through a prepared reader of the class made now, as the module makes one at its
// first use, and checks what it made.
void read_with_new_reader(std::size_t index, std::string_view text, PyObject* data) {
    auto reader = std::make_unique<JsonRecords>(g_names[index], JsonRecords::Layout::Object);
    nb::object made = reader->read(text);
    FUZZ_CHECK_PY(!PyErr_Occurred());
    nb::object which = nb::steal(PyLong_FromSize_t(index));
    nb::object checked = nb::steal(PyObject_CallFunctionObjArgs(g_check_direct, which.ptr(), data,
                                                                made.is_valid() ? made.ptr() : Py_None, nullptr));
    FUZZ_CHECK_PY(checked.is_valid());
    g_readers[g_next_reader] = std::move(reader);
    g_next_reader = (g_next_reader + 1) % g_readers.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PyObject* module = fuzz::start_python();
    nb::module_ m = nb::borrow<nb::module_>(module);
    try {
        korvane::records::bind(m);
    } catch (nb::python_error& e) {
        e.restore();
        fuzz::found_python("records bind", __FILE__, __LINE__);
    }
    PyObject* helpers = fuzz::load_helpers(kHelpers);
    g_read = fuzz::helper(helpers, "read");
    g_check_direct = fuzz::helper(helpers, "check_direct");
    nb::object names = nb::steal(PyObject_CallOneArg(fuzz::helper(helpers, "prepare"), module));
    FUZZ_CHECK_PY(names.is_valid());
    for (nb::handle name : names) {
        const char* utf8 = PyUnicode_AsUTF8(name.ptr());
        FUZZ_CHECK_PY(utf8);
        g_names.emplace_back(utf8);
    }
    FUZZ_CHECK(!g_names.empty());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\0');
        std::string_view segment = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (segment.empty()) continue;
        const auto pick = static_cast<unsigned char>(segment[0]);
        const std::size_t index = (pick & 0x1F) % g_names.size();
        segment.remove_prefix(1);
        nb::object text = nb::steal(PyBytes_FromStringAndSize(segment.data(), static_cast<Py_ssize_t>(segment.size())));
        FUZZ_CHECK_PY(text.is_valid());
        if (pick & 0x40) read_with_new_reader(index, segment, text.ptr());
        nb::object which = nb::steal(PyLong_FromSize_t(index));
        PyObject* record = PyObject_CallFunctionObjArgs(g_read, which.ptr(), text.ptr(), nullptr);
        FUZZ_CHECK_PY(record);
        if (pick & 0x80) {
            keep(record);
        } else {
            Py_DECREF(record);
        }
    }
    return 0;
}
