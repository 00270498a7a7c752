// Records as field types of pydantic models: validation, serialization and JSON schema hooks.
// pydantic is never imported here: these run only when pydantic itself asks for them.
#include <cctype>
#include <string>

#include "records/base_model.hpp"
#include "records/dump.hpp"

namespace korvane::records {
namespace {

// "created_at" -> "Created At", as pydantic titles properties.
std::string title_of(const char* name) {
    std::string out;
    bool start = true;
    for (const char* c = name; *c; ++c) {
        if (*c == '_') {
            out += ' ';
            start = true;
        } else {
            out += start ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
            start = false;
        }
    }
    return out;
}

nb::dict type_schema(const Type& type) {
    nb::dict out;
    switch (type.kind) {
        case Kind::Str: out["type"] = "string"; break;
        case Kind::Int: out["type"] = "integer"; break;
        case Kind::Float: out["type"] = "number"; break;
        case Kind::Bool: out["type"] = "boolean"; break;
        case Kind::DateTime:
            out["type"] = "string";
            out["format"] = "date-time";
            break;
        case Kind::Any: break;
        case Kind::List:
            out["type"] = "array";
            out["items"] = type_schema(*type.item);
            break;
        case Kind::Dict:
            out["type"] = "object";
            out["additionalProperties"] = type_schema(*type.item);
            break;
        case Kind::Record: out = nb::borrow<nb::dict>(pydantic_json_schema(*type.record)); break;
    }
    if (!type.optional) return out;
    nb::dict null_schema;
    null_schema["type"] = "null";
    nb::list choices;
    choices.append(out);
    choices.append(null_schema);
    nb::dict either;
    either["anyOf"] = choices;
    return either;
}

}  // namespace

nb::object pydantic_core_schema(nb::handle cls) {
    nb::object core_schema = nb::module_::import_("pydantic_core").attr("core_schema");
    nb::object owner = nb::borrow(cls);
    nb::object validate = nb::cpp_function([owner](nb::handle value) {
        return validate_object(reinterpret_cast<PyTypeObject*>(owner.ptr()), value.ptr());
    });
    nb::object serialize = nb::cpp_function([](nb::handle value, nb::handle info) -> nb::object {
        const Schema* schema = PyObject_TypeCheck(value.ptr(), base_model()) ? schema_of(Py_TYPE(value.ptr()))
                                                                             : nullptr;
        if (!schema) return nb::borrow(value);
        DumpOptions options;
        options.mode = nb::str(info.attr("mode")).equal(nb::str("json")) ? DumpMode::Json : DumpMode::Python;
        options.exclude_none = PyObject_IsTrue(info.attr("exclude_none").ptr()) == 1;
        return dump_record(value.ptr(), *schema, options);
    });
    nb::object serialization = core_schema.attr("plain_serializer_function_ser_schema")(serialize,
                                                                                        nb::arg("info_arg") = true);
    return core_schema.attr("no_info_plain_validator_function")(validate, nb::arg("serialization") = serialization);
}

nb::object pydantic_json_schema(const Schema& schema) {
    nb::dict properties;
    nb::list required;
    for (const Field& field : schema.fields) {
        nb::dict property = type_schema(*field.type);
        property["title"] = nb::str(title_of(PyUnicode_AsUTF8(field.name)).c_str());
        switch (field.default_kind) {
            case DefaultKind::Required: required.append(nb::handle(field.name)); break;
            case DefaultKind::None: property["default"] = nb::none(); break;
            case DefaultKind::Constant: property["default"] = nb::handle(field.default_value); break;
            case DefaultKind::EmptyList: property["default"] = nb::list(); break;
            case DefaultKind::EmptyDict: property["default"] = nb::dict(); break;
        }
        if (field.description) property["description"] = field.description;
        if (field.bounds.ge) property["minimum"] = *field.bounds.ge;
        if (field.bounds.le) property["maximum"] = *field.bounds.le;
        if (field.bounds.min_length) property["minLength"] = *field.bounds.min_length;
        if (field.bounds.max_length) property["maxLength"] = *field.bounds.max_length;
        properties[field.name] = property;
    }
    nb::dict out;
    out["title"] = schema.name;
    if (schema.doc) out["description"] = schema.doc;
    out["type"] = "object";
    out["properties"] = properties;
    if (nb::len(required)) out["required"] = required;
    return out;
}

}  // namespace korvane::records
