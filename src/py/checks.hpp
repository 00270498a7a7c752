// Results of C API calls made into C++: a failed call (nullptr, -1) throws the set Python error.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::py {

namespace nb = nanobind;

// A new reference from a C API call, owned by the result; nullptr (an error is set) throws it.
inline nb::object checked(PyObject* value) {
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

// Python truthiness; a failing __bool__ or __len__ throws.
inline bool truthy(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

}  // namespace korvane::py
