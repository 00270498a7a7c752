// Recognising instances of standard-library classes (decimal.Decimal, enum.Enum, ...) without
// importing their modules: a module nobody imported has made no instances.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::util {

namespace nb = nanobind;

// One class, looked up in its module once the module is in sys.modules. Owner rule: the class
// found is held by one strong reference for the life of the process (never released, as
// interpreter-wide constants are); declare instances as function-local statics.
class ImportedClass {
public:
    constexpr ImportedClass(const char* module, const char* name) : module_(module), name_(name) {}

    // isinstance(value, the class); false while the module is not imported. Python errors are
    // thrown as nb::python_error.
    bool has_instance(PyObject* value) {
        if (!cls_) {
            nb::str module_name(module_);
            PyObject* module = PyImport_GetModule(module_name.ptr());
            if (!module) {
                if (PyErr_Occurred()) throw nb::python_error();
                return false;
            }
            cls_ = PyObject_GetAttrString(module, name_);
            Py_DECREF(module);
            if (!cls_) throw nb::python_error();
        }
        const int is = PyObject_IsInstance(value, cls_);
        if (is < 0) throw nb::python_error();
        return is != 0;
    }

private:
    const char* module_;
    const char* name_;
    PyObject* cls_ = nullptr;
};

}  // namespace korvane::util
