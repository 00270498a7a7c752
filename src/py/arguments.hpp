// Python-style argument binding with the interpreter's own TypeError wording, in the two forms the core
// needs: Arguments for C++ functions bound with *args/**kwargs (a tuple and a dict, references kept),
// bind_arguments() for fast-call slots (a vector and keyword names, borrowed for the call).
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "py/raise.hpp"

namespace korvane::py {

namespace nb = nanobind;

// The position of keyword `key` among `names` (count when it is none of them), for both binders.
inline size_t name_index(PyObject* key, const char* const* names, size_t count) {
    if (!PyUnicode_Check(key)) return count;
    for (size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
    }
    return count;
}

class Arguments {
public:
    // Binds positional `args` and keyword `kwargs` to `names` (the first `required` of them
    // have no default). Unknown keywords are an error unless `accept_extra`, in which case
    // they are kept in extra(). `where` names the function in messages, e.g. "Foo.__init__".
    Arguments(const char* where, const char* const* names, size_t count, size_t required, PyObject* args,
              PyObject* kwargs, bool accept_extra)
        : values_(count) {
        const Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
        if (static_cast<size_t>(given) > count) {
            if (required == count) {
                fail("%s() takes %zu positional arguments but %zd were given", where, count + 1, given + 1);
            }
            fail("%s() takes from %zu to %zu positional arguments but %zd were given", where, required + 1, count + 1,
                 given + 1);
        }
        for (Py_ssize_t i = 0; i < given; ++i) values_[i] = nb::borrow(PyTuple_GET_ITEM(args, i));
        if (kwargs) {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                const size_t index = name_index(key, names, count);
                if (index == count) {
                    if (!accept_extra) fail("%s() got an unexpected keyword argument '%U'", where, key);
                    extra_[nb::handle(key)] = nb::handle(value);
                    continue;
                }
                if (values_[index].is_valid()) {
                    fail("%s() got multiple values for argument '%s'", where, names[index]);
                }
                values_[index] = nb::borrow(value);
            }
        }
        for (size_t i = 0; i < required; ++i) {
            if (!values_[i].is_valid()) {
                fail("%s() missing 1 required positional argument: '%s'", where, names[i]);
            }
        }
    }

    bool has(size_t i) const { return values_[i].is_valid(); }
    nb::handle operator[](size_t i) const { return values_[i]; }
    nb::handle get_or_none(size_t i) const { return has(i) ? nb::handle(values_[i]) : nb::handle(Py_None); }
    nb::dict extra() const { return extra_; }

private:
    template <typename... A>
    [[noreturn]] static void fail(const char* format, A... a) {
        raise(PyExc_TypeError, format, a...);
    }

    std::vector<nb::object> values_;
    nb::dict extra_;
};

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
        const Py_ssize_t index = static_cast<Py_ssize_t>(name_index(key, names.begin(), static_cast<size_t>(count)));
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

}  // namespace korvane::py
