// Binds the records: ValidationError, BaseModel, FieldInfo and the record classes of the table;
// and the entry points the rest of the core uses.
#include "records/records.hpp"

#include "bindings.hpp"
#include "py/raise.hpp"
#include "records/base_model.hpp"
#include "records/convert.hpp"
#include "records/dump.hpp"
#include "records/instance.hpp"
#include "records/validation_error.hpp"

namespace korvane::records {

nb::handle record_class(std::string_view name) {
    const Schema* schema = schema_named(name);
    if (!schema || !schema->cls) {
        py::raise(PyExc_KeyError, "no record named '%.*s'", static_cast<int>(name.size()), name.data());
    }
    return nb::handle(reinterpret_cast<PyObject*>(schema->cls));
}

nb::object from_mapping(nb::handle cls, nb::handle mapping) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const Schema& schema = schema_for(type);
    nb::object members = PyDict_Check(mapping.ptr()) ? nb::borrow(mapping) : as_dict(mapping.ptr());
    if (!members.is_valid()) {
        // What Record(**mapping) says for something that is not a mapping.
        py::raise(PyExc_TypeError, "%U() argument after ** must be a mapping, not %s", class_name(type).ptr(),
                  Py_TYPE(mapping.ptr())->tp_name);
    }
    nb::object self = new_instance(type);
    validate_into(self.ptr(), schema, members.ptr(), type);
    return self;
}

nb::object dump(nb::handle record, bool exclude_none) {
    return dump_record(record.ptr(), schema_for(Py_TYPE(record.ptr())), DumpOptions{DumpMode::Python, exclude_none});
}

void bind(nb::module_& m) {
    build_schemas();
    bind_validation_error(m);
    PyTypeObject* base = create_base_model();
    register_class(base, base_schema());
    m.attr("BaseModel") = nb::handle(reinterpret_cast<PyObject*>(base));
    bind_field_info(m);
    nb::list names;
    for (Schema& schema : all_schemas()) {
        nb::object cls = make_record_class(schema);
        m.attr(schema.name) = cls;
        names.append(nb::str(schema.name));
        cls.release();  // the schema holds the class for the life of the process
    }
    // What korvane_sdk.models re-exports, in the table's order.
    m.attr("_record_names") = nb::tuple(names);
}

}  // namespace korvane::records
