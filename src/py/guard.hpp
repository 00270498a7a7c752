// Runs C++ code behind a C-level slot or method: every exception becomes a set Python error.
#pragma once
#include <nanobind/nanobind.h>

#include <new>
#include <typeinfo>

namespace korvane::py {

namespace nb = nanobind;

inline PyObject* builtin_type(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::stop_iteration: return PyExc_StopIteration;
        case nb::exception_type::index_error: return PyExc_IndexError;
        case nb::exception_type::key_error: return PyExc_KeyError;
        case nb::exception_type::value_error: return PyExc_ValueError;
        case nb::exception_type::type_error: return PyExc_TypeError;
        case nb::exception_type::buffer_error: return PyExc_BufferError;
        case nb::exception_type::import_error: return PyExc_ImportError;
        case nb::exception_type::attribute_error: return PyExc_AttributeError;
        default: return PyExc_RuntimeError;
    }
}

// Returns fn()'s result, or `failure` with the Python error set.
template <typename Result, typename Fn>
Result guarded(Result failure, Fn&& fn) noexcept {
    try {
        return fn();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        PyErr_SetString(builtin_type(e.type()), e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::bad_cast&) {
        PyErr_SetString(PyExc_TypeError, "unexpected type");
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in korvane_sdk.models");
    }
    return failure;
}

}  // namespace korvane::py
