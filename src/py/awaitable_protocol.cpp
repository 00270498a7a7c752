// The generator protocol's shared pieces for native awaitables.
#include "py/awaitable_protocol.hpp"

namespace korvane::py {

PyObject* as_generator_step(PySendResult result, PyObject* out) {
    if (result == PYGEN_NEXT) return out;
    if (result == PYGEN_RETURN) {
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, out);
        Py_DECREF(out);
        if (!stop) return nullptr;
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

PyObject* thrown_exception(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    PyObject* kind = args[0];
    if (PyExceptionInstance_Check(kind)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(kind)), kind);
    } else if (PyExceptionClass_Check(kind)) {
        PyErr_SetObject(kind, nargs > 1 ? args[1] : Py_None);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(kind)->tp_name);
        return nullptr;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

PyObject* raise_thrown(PyObject* const* args, Py_ssize_t nargs) {
    if (PyObject* error = thrown_exception(args, nargs)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        Py_DECREF(error);
    }
    return nullptr;
}

PyObject* close_delegate(PyObject* inner) {
    if (!inner) Py_RETURN_NONE;
    PyObject* closed = PyObject_HasAttrString(inner, "close") ? PyObject_CallMethod(inner, "close", nullptr)
                                                              : Py_NewRef(Py_None);
    Py_DECREF(inner);
    if (!closed) return nullptr;
    Py_DECREF(closed);
    Py_RETURN_NONE;
}

}  // namespace korvane::py
