// The generator protocol of a native awaitable (send, throw, close, __next__, am_send) written
// once: a type supplies one step function and gets the slots and methods that call it.
#pragma once
#include <Python.h>

namespace korvane::py {

// A step as a generator's send() gives it: `out` for PYGEN_NEXT, StopIteration(out) raised for
// PYGEN_RETURN (`out` is taken over), NULL for PYGEN_ERROR.
PyObject* as_generator_step(PySendResult result, PyObject* out);

// The exception of a throw(exception) or throw(type, value, traceback) call, normalized (a new
// reference), or NULL with a TypeError set.
PyObject* thrown_exception(PyObject* const* args, Py_ssize_t nargs);

// throw() of an awaitable with nothing to throw into: the exception raised as it is (NULL, always).
PyObject* raise_thrown(PyObject* const* args, Py_ssize_t nargs);

// close() of an awaitable that delegates to `inner` (taken over; may be null): inner.close() when
// it has one. None, or NULL with the error of inner.close() set.
PyObject* close_delegate(PyObject* inner);

// One step of an awaitable: `sent` (None for a task's wake-up) or `thrown` (a cancellation, say)
// goes in; PYGEN_NEXT with what to yield in `out`, PYGEN_RETURN with the result in `out`, or
// PYGEN_ERROR with the error set. Borrowed arguments; `out` is a new reference.
using AwaitStep = PySendResult (*)(PyObject* self, PyObject* sent, PyObject* thrown, PyObject** out);

// The slots and methods of the protocol for a type whose step is `Step`.
template <AwaitStep Step>
struct AwaitableProtocol {
    static PySendResult am_send(PyObject* self, PyObject* arg, PyObject** out) { return Step(self, arg, nullptr, out); }

    static PyObject* next(PyObject* self) { return send(self, Py_None); }

    static PyObject* send(PyObject* self, PyObject* arg) {
        PyObject* out = nullptr;
        const PySendResult result = Step(self, arg, nullptr, &out);  // before `out` is read
        return as_generator_step(result, out);
    }

    // throw(exception) or the old throw(type, value, traceback) form.
    static PyObject* throw_(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        PyObject* error = thrown_exception(args, nargs);
        if (!error) return nullptr;
        PyObject* out = nullptr;
        const PySendResult result = Step(self, nullptr, error, &out);
        Py_DECREF(error);
        return as_generator_step(result, out);
    }

    static PyCFunction throw_method() { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&throw_)); }
};

}  // namespace korvane::py
