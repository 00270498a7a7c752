// The few CPython 3.11, 3.12 and 3.13 C API calls the module uses, provided for older interpreters in
// terms of the API they replace. On 3.13 and later this header adds nothing.
#pragma once
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
// A new reference to the type's __name__, or null with an exception set.
inline PyObject* PyType_GetName(PyTypeObject* type) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
}
#endif

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>

#ifndef Py_T_OBJECT_EX
#define Py_T_OBJECT_EX T_OBJECT_EX
#endif
#ifndef Py_T_PYSSIZET
#define Py_T_PYSSIZET T_PYSSIZET
#endif
#ifndef Py_READONLY
#define Py_READONLY READONLY
#endif

// The pending exception as one (normalised) object with its traceback attached, or null; clears it.
inline PyObject* PyErr_GetRaisedException() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Makes `exception` (a reference that is stolen; null clears) the pending exception.
inline void PyErr_SetRaisedException(PyObject* exception) {
    if (!exception) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// A new reference to the referent of the weak reference `ref` in *result: 1 when alive, 0 (and null)
// when gone, -1 with an exception set when `ref` is no weak reference.
inline int PyWeakref_GetRef(PyObject* ref, PyObject** result) {
    PyObject* referent = PyWeakref_GetObject(ref);
    if (!referent) {
        *result = nullptr;
        return -1;
    }
    if (referent == Py_None) {
        *result = nullptr;
        return 0;
    }
    *result = Py_NewRef(referent);
    return 1;
}
#endif
