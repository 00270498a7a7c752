// Creating records, installing their values, reading values back, and taking mappings apart.
#include "records/instance.hpp"

namespace korvane::records {

nb::object new_instance(PyTypeObject* cls) {
    if (!PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE) || cls->tp_dictoffset == 0) {
        PyErr_Format(PyExc_TypeError, "%s has no fields: build one of the records of korvane_sdk.models",
                     cls->tp_name);
        throw nb::python_error();
    }
    static PyObject* no_arguments = PyTuple_New(0);  // the interpreter's empty tuple, kept
    if (!no_arguments) throw nb::python_error();
    PyObject* self = cls->tp_new(cls, no_arguments, nullptr);
    if (!self) throw nb::python_error();
    return nb::steal(self);
}

void store(PyObject* self, const Schema& schema, PyObject* const* values) {
    // Set as plain attributes: the interpreter keeps them in the instance's compact inline values
    // (keys shared by all records of the class), cheaper to fill and to read than a dict of our own.
    // A second __init__ replaces every field, as a fresh record would have them.
    const std::size_t count = schema.fields.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (PyObject_GenericSetAttr(self, schema.fields[i].name, values[i]) < 0) throw nb::python_error();
    }
}

nb::object instance_dict(PyObject* self) {
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) throw nb::python_error();
    return nb::steal(dict);
}

PyObject* field_value(PyObject* dict, const Field& field, PyObject* self) {
    PyObject* value = PyDict_GetItemWithError(dict, field.name);
    if (!value) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", Py_TYPE(self)->tp_name,
                         field.name);
        }
        throw nb::python_error();
    }
    return value;
}

nb::object as_dict(PyObject* value) {
    // The common wrong inputs need no look at the Mapping ABC.
    if (PyUnicode_Check(value) || PyLong_Check(value) || PyFloat_Check(value) || PyList_Check(value) ||
        PyTuple_Check(value) || value == Py_None || PyBytes_Check(value)) {
        return {};
    }
    static PyObject* mapping_abc = nullptr;  // collections.abc.Mapping, kept
    if (!mapping_abc) {
        nb::object module = nb::steal(PyImport_ImportModule("collections.abc"));
        if (!module.is_valid()) throw nb::python_error();
        mapping_abc = PyObject_GetAttrString(module.ptr(), "Mapping");
        if (!mapping_abc) throw nb::python_error();
    }
    int is_mapping = PyObject_IsInstance(value, mapping_abc);
    if (is_mapping < 0) throw nb::python_error();
    if (!is_mapping) return {};
    nb::object dict = nb::steal(PyDict_New());
    if (!dict.is_valid() || PyDict_Merge(dict.ptr(), value, 1) < 0) throw nb::python_error();
    return dict;
}

nb::object class_name(PyTypeObject* cls) {
    PyObject* name = PyType_GetName(cls);
    if (!name) throw nb::python_error();
    return nb::steal(name);
}

}  // namespace korvane::records
