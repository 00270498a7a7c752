// Where a record keeps its values: one slot per field (the class's __slots__), read and written by
// offset without any lookup.
#pragma once
#include <nanobind/nanobind.h>

#include "records/schema.hpp"

namespace korvane::records {

namespace nb = nanobind;

// cls.__new__(cls): a record with no values yet.
nb::object new_instance(PyTypeObject* cls);

// Sets `values` (one per field of `schema`, in order) as the fields of `self`, a record of the
// schema's class (or of a subclass).
void store(PyObject* self, const Schema& schema, PyObject* const* values);

// The slot of `field` in `self`, a record of the schema's class or of a subclass.
inline PyObject** slot(PyObject* self, const Field& field) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + field.offset);
}

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

// The value of `field` (borrowed); AttributeError when it was deleted.
PyObject* field_value(PyObject* self, const Field& field);

// Whether `value` is a dict or another collections.abc.Mapping.
bool is_mapping(PyObject* value);

// A plain dict with the members of a Mapping that is not a dict; empty when `value` is no Mapping.
nb::object as_dict(PyObject* value);

// The class name of a record class (its __name__).
nb::object class_name(PyTypeObject* cls);

}  // namespace korvane::records
