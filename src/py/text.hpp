// Bytes of Python text values as the HTTP layer sends them.
#pragma once
#include <nanobind/nanobind.h>

#include <string>

namespace korvane::py {

namespace nb = nanobind;

// The UTF-8 bytes of a str, the bytes of a bytes object, otherwise the UTF-8 bytes of str(value).
inline std::string text_bytes(nb::handle value) {
    if (PyBytes_Check(value.ptr())) {
        return std::string(PyBytes_AS_STRING(value.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(value.ptr())));
    }
    nb::object text = PyUnicode_Check(value.ptr()) ? nb::borrow(value) : nb::steal(PyObject_Str(value.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
}

}  // namespace korvane::py
