// Types made with PyType_FromSpec whose instances are plain structs of strong references: the garbage
// collector's slots (traverse, clear, dealloc) written once, and the type itself made on first use.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::py {

// GC slots for `Object` (a struct that starts with PyObject_HEAD) whose strong references are the
// `Members` (each a PyObject* that is null or holds one reference). The type is a heap type, so
// every instance holds a reference to it too: traverse visits it and dealloc drops it.
template <typename Object, PyObject* Object::*... Members>
struct StrongMembers {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        Object* object = reinterpret_cast<Object*>(self);
        int result = 0;
        ((result = result ? result : (object->*Members ? visit(object->*Members, arg) : 0)), ...);
        return result;
    }

    static int clear(PyObject* self) {
        Object* object = reinterpret_cast<Object*>(self);
        (drop(object->*Members), ...);
        return 0;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        clear(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

private:
    static void drop(PyObject*& reference) { Py_CLEAR(reference); }
};

// The type of `Spec`, made on the first call (a failure raises, and the next call tries again) and
// kept for the process: never destroyed, as every instance holds a reference to it anyway. Needs the GIL.
template <PyType_Spec& Spec>
PyTypeObject* kept_type() {
    static PyTypeObject* type = nullptr;  // strong, owned by this function for the process
    if (!type) {
        PyObject* made = PyType_FromSpec(&Spec);
        if (!made) throw nb::python_error();
        type = reinterpret_cast<PyTypeObject*>(made);
    }
    return type;
}

}  // namespace korvane::py
