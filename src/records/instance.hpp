// Where a record keeps its values: the instance __dict__, one entry per field in declaration order.
#pragma once
#include <nanobind/nanobind.h>

#include "records/schema.hpp"

namespace korvane::records {

namespace nb = nanobind;

// cls.__new__(cls): a record with no values yet.
nb::object new_instance(PyTypeObject* cls);

// Installs a fresh __dict__ holding `values` (one per field of `schema`, in order) in `self`.
void store(PyObject* self, const Schema& schema, nb::object* values);

// self.__dict__ (a new reference).
nb::object instance_dict(PyObject* self);

// The value of `field` in a record's __dict__ (borrowed); AttributeError when it was deleted.
PyObject* field_value(PyObject* dict, const Field& field, PyObject* self);

// A plain dict with the members of a Mapping that is not a dict; empty when `value` is no Mapping.
nb::object as_dict(PyObject* value);

// The class name of a record class (its __name__).
nb::object class_name(PyTypeObject* cls);

}  // namespace korvane::records
