// Creating records, installing their values, reading values back, and taking mappings apart.
#include "records/instance.hpp"

#include "py/raise.hpp"
#include "records/base_model.hpp"
#include "util/python_compat.hpp"

namespace korvane::records {

nb::object new_instance(PyTypeObject* cls) {
    if (cls == base_model()) {
        py::raise(PyExc_TypeError, "%s has no fields: build one of the records of korvane_sdk.models", cls->tp_name);
    }
    static PyObject* no_arguments = nullptr;  // the interpreter's empty tuple, kept for the process
    if (!no_arguments && !(no_arguments = PyTuple_New(0))) throw nb::python_error();
    PyObject* self = cls->tp_new(cls, no_arguments, nullptr);
    if (!self) throw nb::python_error();
    return nb::steal(self);
}

void store(PyObject* self, const Schema& schema, PyObject* const* values) {
    const std::size_t count = schema.fields.size();
    for (std::size_t i = 0; i < count; ++i) Py_XSETREF(*slot(self, schema.fields[i]), Py_XNewRef(values[i]));
}

PyObject* field_value(PyObject* self, const Field& field) {
    PyObject* value = *slot(self, field);
    if (!value) {
        py::raise(PyExc_AttributeError, "'%s' object has no attribute '%U'", Py_TYPE(self)->tp_name, field.name);
    }
    return value;
}

bool is_mapping(PyObject* value) {
    if (PyDict_Check(value)) return true;
    // The common wrong inputs need no look at the Mapping ABC.
    if (PyUnicode_Check(value) || PyLong_Check(value) || PyFloat_Check(value) || PyList_Check(value) ||
        PyTuple_Check(value) || value == Py_None || PyBytes_Check(value)) {
        return false;
    }
    static PyObject* mapping_abc = nullptr;  // collections.abc.Mapping: one reference, kept for the process
    if (!mapping_abc) {
        nb::object module = nb::steal(PyImport_ImportModule("collections.abc"));
        if (!module.is_valid()) throw nb::python_error();
        mapping_abc = PyObject_GetAttrString(module.ptr(), "Mapping");
        if (!mapping_abc) throw nb::python_error();
    }
    int is_mapping = PyObject_IsInstance(value, mapping_abc);
    if (is_mapping < 0) throw nb::python_error();
    return is_mapping != 0;
}

nb::object as_dict(PyObject* value) {
    if (!is_mapping(value)) return {};
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
