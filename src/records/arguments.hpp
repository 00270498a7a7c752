// Argument binding for the records' fast-call methods, with the interpreter's TypeError wording.
#pragma once
#include <Python.h>

#include <initializer_list>

namespace korvane::records {

// Binds `args` (nargs positional, then keyword values named by `kwnames`) to `names`: the first
// `positional` names may be given by position, every name by keyword. out[i] is a borrowed
// reference or nullptr when not given. Returns false with TypeError set on a mismatch.
inline bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           Py_ssize_t positional, std::initializer_list<const char*> names, PyObject** out) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = nullptr;
    if (nargs > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", function,
                     positional + 1, positional == 0 ? "" : "s", nargs + 1);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) break;
            ++index;
        }
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (out[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, key);
            return false;
        }
        out[index] = args[nargs + k];
    }
    return true;
}

}  // namespace korvane::records
