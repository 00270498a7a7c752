// Raising a Python error from C++: set it, then throw nb::python_error() so it travels to the binding
// boundary (which restores it). One call instead of the pair.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdarg>

namespace korvane::py {

namespace nb = nanobind;

// Sets `type` with the PyUnicode_FromFormat `format` and its arguments, and throws it.
[[noreturn]] inline void raise(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw nb::python_error();
}

// Sets `type` with a fixed message (not a format: '%' is taken as it stands), and throws it.
[[noreturn]] inline void raise_text(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

// Raises `value` (an exception instance, or the argument the exception class is called with) as `type`.
[[noreturn]] inline void raise_object(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw nb::python_error();
}

[[noreturn]] inline void raise_type_error(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(PyExc_TypeError, format, arguments);
    va_end(arguments);
    throw nb::python_error();
}

[[noreturn]] inline void raise_value_error(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(PyExc_ValueError, format, arguments);
    va_end(arguments);
    throw nb::python_error();
}

}  // namespace korvane::py
