// BaseModel, the class every record derives from, and the pieces its methods are made of.
#pragma once
#include <nanobind/nanobind.h>

#include "records/schema.hpp"

namespace korvane::records {

namespace nb = nanobind;

// Creates korvane_sdk.models.BaseModel (a C-level base: records are its Python subclasses).
PyTypeObject* create_base_model();
PyTypeObject* base_model();

// The record class of `schema`: type(name, (BaseModel,), namespace), registered with its schema.
nb::object make_record_class(Schema& schema);

// The schema of a record class; TypeError for a class that is not a record.
const Schema& schema_for(PyTypeObject* cls);

// cls.model_validate(obj): obj itself when it is a cls, else a new record from a mapping.
nb::object validate_object(PyTypeObject* cls, PyObject* obj);

// model_fields: field name -> FieldInfo, in declaration order (built once per schema).
nb::object model_fields(const Schema& schema);
void bind_field_info(nb::module_& m);

// Hooks used when a record is a field type of a pydantic model (pydantic is imported only then).
nb::object pydantic_core_schema(nb::handle cls);
nb::object pydantic_json_schema(const Schema& schema);

}  // namespace korvane::records
