// The awaited driver of the call engine: an awaitable that performs a WholeCall's steps on the
// running event loop, yielding the futures it waits for to the task, with no Python frame per step.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api::engine {

namespace nb = nanobind;
class WholeCall;

// Whether a seam's result is to be awaited (a replaced seam may be a plain function): it has
// __await__, or inspect.isawaitable() says so.
bool is_awaitable(nb::handle value);

// The iterator that `await value` would drive (its __await__), or an unset object when `value` is
// not awaitable.
nb::object await_iterator(nb::handle value);

// inner.throw(error) as a delegating awaitable passes a thrown exception on: PYGEN_NEXT with what
// it yields in `out`, PYGEN_RETURN with its value, else PYGEN_ERROR with the error set.
PySendResult throw_into(PyObject* inner, PyObject* error, PyObject** out);

// The awaitable of `call` (taken over: the awaitable owns it from now on). Awaiting it gives the
// call's result or raises its error; a cancellation thrown into it goes to what it awaits, and the
// call is abandoned (an upload's file closed).
nb::object make_awaitable(WholeCall&& call);

}  // namespace korvane::api::engine
