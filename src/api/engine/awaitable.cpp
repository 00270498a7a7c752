// The awaited driver: performs a WholeCall's steps as an awaitable (send/throw/close), delegating
// to what each step awaits as `await` would, so a whole call costs no coroutine of its own.
#include "api/engine/awaitable.hpp"

#include <memory>

#include "api/engine/engine.hpp"
#include "py/awaitable_protocol.hpp"
#include "py/guard.hpp"
#include "py/spec_type.hpp"

namespace korvane::api::engine {

bool is_awaitable(nb::handle value) {
    PyObject* v = value.ptr();
    // The usual answers of a plain function (decoded JSON) are never awaitable: no lookup for them.
    if (v == Py_None || PyDict_CheckExact(v) || PyList_CheckExact(v) || PyUnicode_CheckExact(v)) return false;
    if (PyType_GetSlot(Py_TYPE(v), Py_am_await)) return true;
    static PyObject* isawaitable =
        nb::object(nb::module_::import_("inspect").attr("isawaitable")).release().ptr();  // process
    PyObject* answer = PyObject_CallOneArg(isawaitable, v);
    if (!answer) throw nb::python_error();
    const int truth = PyObject_IsTrue(answer);
    Py_DECREF(answer);
    if (truth < 0) throw nb::python_error();
    return truth == 1;
}

nb::object await_iterator(nb::handle value) {
    if (!is_awaitable(value)) return {};
    PyObject* iterator = nullptr;
    if (auto await_slot = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(value.ptr()), Py_am_await))) {
        iterator = await_slot(value.ptr());
    } else {
        iterator = PyObject_GetIter(value.ptr());  // a generator-based coroutine awaits as itself
    }
    if (!iterator) throw nb::python_error();
    return nb::steal(iterator);
}

PySendResult throw_into(PyObject* inner, PyObject* error, PyObject** out) {
    *out = nullptr;
    PyObject* method = PyObject_GetAttrString(inner, "throw");
    if (!method) {
        PyErr_Clear();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        return PYGEN_ERROR;
    }
    PyObject* yielded = PyObject_CallOneArg(method, error);
    Py_DECREF(method);
    if (yielded) {
        *out = yielded;
        return PYGEN_NEXT;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    return py::guarded<PySendResult>(PYGEN_ERROR, [&] {
        nb::python_error stop;
        *out = nb::getattr(stop.value(), "value", nb::none()).release().ptr();
        return PYGEN_RETURN;
    });
}

namespace {

// What the awaitable waits for when `inner` is set: the answer of send(), the release of a busy
// answer, the pause, or a replaced seam's awaitable answer.
enum class Stage : unsigned char { send, release, sleep, read };

// Owner rule: `call` is owned (deleted when the call is over, the awaitable is closed or freed);
// `inner` is the iterator of what is awaited now (strong), dropped when it finishes.
struct CallAwaitable {
    PyObject_HEAD
    WholeCall* call;
    PyObject* inner;
    Stage stage;
    bool started;
};

CallAwaitable* as_call(PyObject* self) { return reinterpret_cast<CallAwaitable*>(self); }

void drop_call(CallAwaitable* a) noexcept {
    std::unique_ptr<WholeCall> call(a->call);
    a->call = nullptr;
    if (call) call->abandon();
}

// Starts awaiting `value` when it is awaitable (its __await__ iterator becomes `inner`).
bool begin_await(CallAwaitable* a, nb::handle value, Stage stage) {
    nb::object iterator = await_iterator(value);
    if (!iterator.is_valid()) return false;
    a->inner = iterator.release().ptr();
    a->stage = stage;
    return true;
}

// Releases the busy answer, then starts the pause; nullopt while something is awaited.
std::optional<Next> begin_pause(CallAwaitable* a);

std::optional<Next> begin_sleep(CallAwaitable* a) {
    WholeCall& call = *a->call;
    nb::object sleep = nb::getattr(call.client(), "_sleep", nb::none());
    if (sleep.is_none()) sleep = nb::module_::import_("asyncio").attr("sleep");
    nb::object waited = sleep(call.pause_seconds());
    if (begin_await(a, waited, Stage::sleep)) return std::nullopt;
    return call.paused();
}

std::optional<Next> begin_pause(CallAwaitable* a) {
    nb::object answer = a->call->busy_answer();
    if (nb::object closer = nb::getattr(answer, "aclose", nb::none()); !closer.is_none()) {
        if (begin_await(a, closer(), Stage::release)) return std::nullopt;
    } else if (nb::hasattr(answer, "close")) {
        answer.attr("close")();
    }
    return begin_sleep(a);
}

// The step after what was awaited gave `value`.
std::optional<Next> resumed(CallAwaitable* a, nb::handle value) {
    switch (a->stage) {
        case Stage::release: return begin_sleep(a);
        case Stage::sleep: return a->call->paused();
        case Stage::send:
        case Stage::read: return a->call->answered(value);
    }
    return std::nullopt;
}

// The step after what was awaited raised (the error is set).
std::optional<Next> resumed_failing(CallAwaitable* a) {
    nb::python_error failure;
    if (a->stage == Stage::release || a->stage == Stage::sleep) throw failure;  // the call ends with it
    return a->call->failed(failure);
}

// One resumption: `sent` into what is awaited (or `thrown` at it), then steps until something is
// to be awaited (PYGEN_NEXT, what to yield in `out`), the result (PYGEN_RETURN) or the error.
PySendResult advance(CallAwaitable* a, PyObject* sent, PyObject* thrown, PyObject** out) {
    *out = nullptr;
    if (!a->call) {
        if (thrown) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(thrown)), thrown);
        } else {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited call");
        }
        return PYGEN_ERROR;
    }
    PySendResult result = py::guarded<PySendResult>(PYGEN_ERROR, [&]() -> PySendResult {
        std::optional<Next> next;
        if (!a->started) {
            a->started = true;
            if (thrown) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(thrown)), thrown);
                throw nb::python_error();
            }
            next = a->call->start();
        }
        for (;;) {
            if (a->inner) {
                PyObject* value = nullptr;
                PySendResult r = thrown ? throw_into(a->inner, thrown, &value)
                                        : PyIter_Send(a->inner, sent ? sent : Py_None, &value);
                thrown = nullptr;
                sent = nullptr;
                if (r == PYGEN_NEXT) {
                    *out = value;
                    return PYGEN_NEXT;
                }
                Py_CLEAR(a->inner);
                next = r == PYGEN_RETURN ? resumed(a, nb::steal(value)) : resumed_failing(a);
                continue;
            }
            if (!next) {
                PyErr_SetString(PyExc_RuntimeError, "the call has no step to take");
                throw nb::python_error();
            }
            WholeCall& call = *a->call;
            switch (*next) {
                case Next::send: {
                    nb::object sending;
                    try {
                        sending = call.send();
                    } catch (nb::python_error& failure) {
                        next = call.failed(failure);
                        continue;
                    }
                    if (begin_await(a, sending, Stage::send)) {
                        next.reset();
                        continue;
                    }
                    next = call.answered(sending);
                    continue;
                }
                case Next::pause: next = begin_pause(a); continue;
                case Next::read: {
                    nb::object awaited = call.awaiting();
                    if (!begin_await(a, awaited, Stage::read))
                        next = call.answered(awaited);
                    else
                        next.reset();
                    continue;
                }
                case Next::result: *out = call.take_result().release().ptr(); return PYGEN_RETURN;
                case Next::raise: call.raise_error();
            }
        }
    });
    if (result != PYGEN_NEXT) {
        // Over (result, error or cancellation): the call and what it holds are let go now.
        Py_CLEAR(a->inner);
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        drop_call(a);
        PyErr_Restore(type, value, traceback);
    }
    return result;
}

PySendResult step(PyObject* self, PyObject* sent, PyObject* thrown, PyObject** out) {
    return advance(as_call(self), sent, thrown, out);
}

using Protocol = py::AwaitableProtocol<&step>;

PyObject* close_method(PyObject* self, PyObject*) {
    CallAwaitable* a = as_call(self);
    PyObject* inner = a->inner;
    a->inner = nullptr;
    drop_call(a);
    return py::close_delegate(inner);
}

PyObject* self_iter(PyObject* self) { return Py_NewRef(self); }

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    CallAwaitable* a = as_call(self);
    Py_VISIT(a->inner);
    return a->call ? a->call->traverse(visit, arg) : 0;
}

int clear(PyObject* self) {
    CallAwaitable* a = as_call(self);
    Py_CLEAR(a->inner);
    drop_call(a);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"send", &Protocol::send, METH_O, "Resume the call with a value (what a task sends is None)."},
    {"throw", Protocol::throw_method(), METH_FASTCALL,
     "Raise an exception at the awaited step (a cancellation): the call is abandoned."},
    {"close", &close_method, METH_NOARGS, "Abandon the call."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&self_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&Protocol::next)},
    {Py_tp_methods, reinterpret_cast<void*>(methods)},
    {Py_am_await, reinterpret_cast<void*>(&self_iter)},
    {Py_am_send, reinterpret_cast<void*>(&Protocol::am_send)},
    {Py_tp_doc, const_cast<char*>("One call of the client in flight on the running event loop; await it once.")},
    {0, nullptr},
};

PyType_Spec spec = {"korvane_sdk.aio._CallInFlight", sizeof(CallAwaitable), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

nb::object make_awaitable(WholeCall&& call) {
    auto owned = std::make_unique<WholeCall>(std::move(call));
    auto* a = PyObject_GC_New(CallAwaitable, py::kept_type<spec>());
    if (!a) throw nb::python_error();
    a->call = owned.release();
    a->inner = nullptr;
    a->stage = Stage::send;
    a->started = false;
    PyObject_GC_Track(a);
    return nb::steal(reinterpret_cast<PyObject*>(a));
}

}  // namespace korvane::api::engine
