// Builds json.JSONDecodeError with the interpreter's own class, so callers catch what they expect.
#include "json/decode_error.hpp"
#include "py/raise.hpp"

#include <nanobind/nanobind.h>

namespace korvane::json::detail {
namespace nb = nanobind;

namespace {

// Byte offset of the first invalid UTF-8 sequence, found by the interpreter's own decoder.
std::size_t first_invalid_utf8(std::string_view text) {
    nb::object decoded = nb::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    if (decoded.is_valid()) return text.size();
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
    nb::python_error error;  // takes the pending UnicodeDecodeError
    Py_ssize_t start = 0;
    if (PyUnicodeDecodeError_GetStart(error.value().ptr(), &start) < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(start);
}

}  // namespace

void raise_decode_error(const char* message, std::string_view text, std::size_t offset) {
    if (offset == kFirstInvalidUtf8) offset = first_invalid_utf8(text);
    if (offset > text.size()) offset = text.size();
    nb::object doc = nb::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!doc.is_valid()) throw nb::python_error();
    // Character index: every byte that does not continue a UTF-8 sequence starts a character.
    std::size_t pos = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        pos += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    }
    raise_decode_error(message, doc.ptr(), pos);
}

void raise_decode_error(const char* message, PyObject* doc, std::size_t pos) {
    nb::object cls = nb::module_::import_("json").attr("JSONDecodeError");
    nb::object error = cls(message, nb::handle(doc), pos);
    py::raise_object(cls.ptr(), error.ptr());
}

}  // namespace korvane::json::detail
