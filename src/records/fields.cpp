// model_fields: a FieldInfo per field (type, default, bounds, description), built on first use.
#include <string>

#include "py/types.hpp"
#include "records/base_model.hpp"

namespace korvane::records {
namespace {

PyObject* g_field_info = nullptr;  // the FieldInfo class, kept for the life of the process

// The typing form of a declared type (typing is imported only when model_fields is first read).
nb::object annotation(const Type& type) {
    nb::module_ typing = nb::module_::import_("typing");
    nb::object base;
    switch (type.kind) {
        case Kind::Str: base = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)); break;
        case Kind::Int: base = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type)); break;
        case Kind::Float: base = nb::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type)); break;
        case Kind::Bool: base = nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type)); break;
        case Kind::DateTime: base = nb::module_::import_("datetime").attr("datetime"); break;
        case Kind::Any: base = typing.attr("Any"); break;
        case Kind::List: base = typing.attr("List")[annotation(*type.item)]; break;
        case Kind::Dict:
            base = typing.attr("Dict")[nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
                                                      annotation(*type.item))];
            break;
        case Kind::Record: base = nb::borrow(reinterpret_cast<PyObject*>(type.record->cls)); break;
    }
    return type.optional ? nb::object(typing.attr("Optional")[base]) : base;
}

nb::object optional_int(const auto& bound) { return bound ? nb::object(nb::int_(*bound)) : nb::object(nb::none()); }

nb::object field_info(const Field& field) {
    nb::object info = nb::handle(g_field_info).attr("__new__")(nb::handle(g_field_info));
    nb::object ellipsis = nb::borrow(Py_Ellipsis);
    nb::object default_value = ellipsis, factory = nb::none();
    switch (field.default_kind) {
        case DefaultKind::Required: break;
        case DefaultKind::None: default_value = nb::none(); break;
        case DefaultKind::Constant: default_value = nb::borrow(field.default_value); break;
        case DefaultKind::EmptyList: factory = nb::borrow(reinterpret_cast<PyObject*>(&PyList_Type)); break;
        case DefaultKind::EmptyDict: factory = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)); break;
    }
    nb::setattr(info, "annotation", annotation(*field.type));
    nb::setattr(info, "type_text", nb::str(field.type_text));
    nb::setattr(info, "default", default_value);
    nb::setattr(info, "default_factory", factory);
    nb::setattr(info, "description",
                field.description ? nb::object(nb::str(field.description)) : nb::object(nb::none()));
    nb::setattr(info, "ge", optional_int(field.bounds.ge));
    nb::setattr(info, "le", optional_int(field.bounds.le));
    nb::setattr(info, "min_length", optional_int(field.bounds.min_length));
    nb::setattr(info, "max_length", optional_int(field.bounds.max_length));
    return info;
}

bool is_required(nb::handle self) {
    return nb::getattr(self, "default").is(nb::handle(Py_Ellipsis)) && nb::getattr(self, "default_factory").is_none();
}

// FieldInfo(annotation=Optional[str], required=False, default=None, description='...')
nb::str info_repr(nb::handle self) {
    std::string out = "FieldInfo(annotation=";
    out += nb::str(nb::getattr(self, "type_text")).c_str();
    const bool required = is_required(self);
    out += required ? ", required=True" : ", required=False";
    nb::object factory = nb::getattr(self, "default_factory");
    if (!factory.is_none()) {
        out += std::string(", default_factory=") + nb::str(nb::getattr(factory, "__name__")).c_str();
    } else if (!required) {
        out += std::string(", default=") + nb::repr(nb::getattr(self, "default")).c_str();
    }
    for (const char* key : {"description", "ge", "le", "min_length", "max_length"}) {
        nb::object value = nb::getattr(self, key);
        if (!value.is_none()) out += std::string(", ") + key + "=" + nb::repr(value).c_str();
    }
    out += ")";
    return nb::str(out.c_str(), out.size());
}

}  // namespace

nb::object model_fields(const Schema& schema) {
    if (!schema.model_fields) {
        nb::dict fields;
        for (const Field& field : schema.fields) fields[field.name] = field_info(field);
        // Building runs Python code (imports), so another thread may have finished first: the
        // first mapping made is kept for the process, never replaced.
        if (!schema.model_fields) schema.model_fields = fields.release().ptr();
    }
    return nb::borrow(schema.model_fields);
}

void bind_field_info(nb::module_& m) {
    nb::object cls = py::make_class("korvane_sdk.models", "FieldInfo",
                                    "What a record declares about one field: annotation, default or "
                                    "default_factory, description and bounds (ge, le, min_length, max_length).");
    py::add_method(cls, "is_required", &is_required, "Whether the field must be given (it has no default).");
    py::add_method(cls, "__repr__", &info_repr);
    m.attr("FieldInfo") = cls;
    g_field_info = cls.release().ptr();
}

}  // namespace korvane::records
