// Where a record keeps its values: the instance __dict__, one entry per field in declaration order.
#pragma once
#include <nanobind/nanobind.h>

#include "records/schema.hpp"

namespace korvane::records {

namespace nb = nanobind;

// cls.__new__(cls): a record with no values yet.
nb::object new_instance(PyTypeObject* cls);

// Sets `values` (one per field of `schema`, in order) as the fields of `self`.
void store(PyObject* self, const Schema& schema, PyObject* const* values);

// The validated values of one record before they are stored: owned references, released on
// every path.
class FieldValues {
public:
    explicit FieldValues(std::size_t count) : count_(count) {
        for (std::size_t i = 0; i < count_; ++i) items_[i] = nullptr;
    }
    ~FieldValues() {
        for (std::size_t i = 0; i < count_; ++i) Py_XDECREF(items_[i]);
    }
    FieldValues(const FieldValues&) = delete;
    FieldValues& operator=(const FieldValues&) = delete;

    void set(std::size_t i, nb::object value) { Py_XSETREF(items_[i], value.release().ptr()); }
    PyObject* const* data() const { return items_; }

private:
    std::size_t count_;
    PyObject* items_[kMaxFields];
};

// self.__dict__ (a new reference).
nb::object instance_dict(PyObject* self);

// The value of `field` in a record's __dict__ (borrowed); AttributeError when it was deleted.
PyObject* field_value(PyObject* dict, const Field& field, PyObject* self);

// A plain dict with the members of a Mapping that is not a dict; empty when `value` is no Mapping.
nb::object as_dict(PyObject* value);

// The class name of a record class (its __name__).
nb::object class_name(PyTypeObject* cls);

}  // namespace korvane::records
