// model_dump: records to plain mappings, typed by the schema, with free values copied safely.
#include "records/dump.hpp"

#include <cmath>

#include "py/checks.hpp"
#include "py/raise.hpp"
#include "records/datetime.hpp"
#include "records/instance.hpp"
#include "util/imported_class.hpp"

namespace korvane::records {
namespace {

using py::checked;

// Py_EnterRecursiveCall for the scope: deep input gives RecursionError, never a stack overflow.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while dumping a record")) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

nb::object dump_any(PyObject* value, const DumpOptions& options);
nb::object dump_sequence(PyObject* source, const Type* item_type, const DumpOptions& options, bool as_tuple);
nb::object dump_typed(const Type& type, PyObject* value, const DumpOptions& options);

bool is_enum_member(PyObject* value) {
    static util::ImportedClass enum_class("enum", "Enum");
    return enum_class.has_instance(value);
}

// The JSON form pydantic gives standard-library values that are no JSON types themselves
// (Decimal, UUID and paths as text, timedelta as an ISO 8601 duration, bytes as UTF-8 text,
// deques as lists); empty for anything else. Enum members are handled by the caller.
nb::object json_form_of_standard_value(PyObject* value, const DumpOptions& options) {
    static util::ImportedClass decimal("decimal", "Decimal");
    static util::ImportedClass uuid("uuid", "UUID");
    static util::ImportedClass path("pathlib", "Path");
    static util::ImportedClass deque("collections", "deque");
    if (datetime::is_datetime(value)) return datetime::to_text(value);
    if (datetime::is_date_or_time(value)) return checked(PyObject_CallMethod(value, "isoformat", nullptr));
    if (datetime::is_timedelta(value)) return datetime::duration_text(value);
    if (PyBytes_Check(value)) {
        return checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), "strict"));
    }
    if (PyByteArray_Check(value)) {
        return checked(PyUnicode_DecodeUTF8(PyByteArray_AS_STRING(value), PyByteArray_GET_SIZE(value), "strict"));
    }
    if (decimal.has_instance(value) || uuid.has_instance(value) || path.has_instance(value)) {
        return checked(PyObject_Str(value));
    }
    if (deque.has_instance(value)) return dump_sequence(value, nullptr, options, false);
    return {};
}

// A JSON object key: text stays, numbers, truth values and None become their JSON text, enum
// members their value's key, and the standard values of json_form_of_standard_value() their text.
nb::object json_key(PyObject* key, const DumpOptions& options) {
    if (PyUnicode_CheckExact(key)) return nb::borrow(key);
    if (!PyLong_CheckExact(key) && is_enum_member(key)) {
        nb::object value = checked(PyObject_GetAttrString(key, "value"));
        return json_key(value.ptr(), options);
    }
    if (PyUnicode_Check(key)) return checked(PyUnicode_FromObject(key));
    if (key == Py_None) return nb::str("null");
    if (key == Py_True) return nb::str("true");
    if (key == Py_False) return nb::str("false");
    if (PyLong_Check(key) || PyFloat_Check(key)) return checked(PyObject_Str(key));
    if (nb::object text = json_form_of_standard_value(key, options); text.is_valid() && PyUnicode_Check(text.ptr())) {
        return text;
    }
    py::raise(PyExc_TypeError, "Unable to serialize mapping key of type %s", Py_TYPE(key)->tp_name);
}

nb::object dump_mapping(PyObject* source, const Type* value_type, const DumpOptions& options) {
    RecursionGuard guard;
    nb::object out = checked(PyDict_New());
    PyObject *key, *item;
    Py_ssize_t pos = 0;
    while (PyDict_Next(source, &pos, &key, &item)) {
        nb::object owned_key = nb::borrow(key), owned_item = nb::borrow(item);
        nb::object dumped = value_type ? dump_typed(*value_type, item, options) : dump_any(item, options);
        nb::object out_key = options.mode == DumpMode::Json ? json_key(key, options) : owned_key;
        if (PyDict_SetItem(out.ptr(), out_key.ptr(), dumped.ptr()) < 0) throw nb::python_error();
    }
    return out;
}

// Lists, tuples (and in JSON mode sets) element by element; the size is read anew each round.
nb::object dump_sequence(PyObject* source, const Type* item_type, const DumpOptions& options, bool as_tuple) {
    RecursionGuard guard;
    nb::object items = PyList_Check(source) ? nb::borrow(source) : checked(PySequence_List(source));
    nb::object out = checked(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
        nb::object dumped = item_type ? dump_typed(*item_type, item.ptr(), options) : dump_any(item.ptr(), options);
        if (PyList_Append(out.ptr(), dumped.ptr()) < 0) throw nb::python_error();
    }
    return as_tuple ? checked(PyList_AsTuple(out.ptr())) : out;
}

nb::object json_float(PyObject* value) {
    if (std::isfinite(PyFloat_AS_DOUBLE(value))) return nb::borrow(value);
    return nb::none();
}

// A value without a declared type (inside Dict[str, Any], or one assigned by hand).
nb::object dump_any(PyObject* value, const DumpOptions& options) {
    const bool json = options.mode == DumpMode::Json;
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || value == Py_None) return nb::borrow(value);
    if (json && !PyBool_Check(value) && is_enum_member(value)) {
        // An enum member is its value in JSON (an IntEnum or str-based one too), dumped in turn.
        RecursionGuard guard;
        nb::object member_value = checked(PyObject_GetAttrString(value, "value"));
        return dump_any(member_value.ptr(), options);
    }
    if (PyUnicode_Check(value) || PyLong_Check(value)) return nb::borrow(value);
    if (PyFloat_Check(value)) return json ? json_float(value) : nb::borrow(value);
    if (PyDict_Check(value)) return dump_mapping(value, nullptr, options);
    if (PyList_Check(value)) return dump_sequence(value, nullptr, options, false);
    if (PyTuple_Check(value)) return dump_sequence(value, nullptr, options, !json);
    if (const Schema* schema = schema_of(Py_TYPE(value))) {
        RecursionGuard guard;
        return dump_record(value, *schema, options);
    }
    if (!json) return nb::borrow(value);
    if (PyAnySet_Check(value)) return dump_sequence(value, nullptr, options, false);
    if (nb::object form = json_form_of_standard_value(value, options); form.is_valid()) return form;
    py::raise(PyExc_TypeError, "Unable to serialize unknown type: %s", Py_TYPE(value)->tp_name);
}

// A value of a declared type; anything else (assigned by hand) is dumped as a free value.
nb::object dump_typed(const Type& type, PyObject* value, const DumpOptions& options) {
    if (value == Py_None) return nb::none();
    const bool json = options.mode == DumpMode::Json;
    switch (type.kind) {
        case Kind::Str:
            if (PyUnicode_Check(value)) return nb::borrow(value);
            break;
        case Kind::Int:
        case Kind::Bool:
            if (PyLong_Check(value)) return nb::borrow(value);
            break;
        case Kind::Float:
            if (PyFloat_Check(value)) return json ? json_float(value) : nb::borrow(value);
            break;
        case Kind::DateTime:
            if (datetime::is_datetime(value)) return json ? datetime::to_text(value) : nb::borrow(value);
            break;
        case Kind::List:
            if (PyList_Check(value)) return dump_sequence(value, type.item, options, false);
            break;
        case Kind::Dict:
            if (PyDict_Check(value)) return dump_mapping(value, type.item, options);
            break;
        case Kind::Record:
        case Kind::Any: break;
    }
    return dump_any(value, options);
}

}  // namespace

nb::object json_form_or_text(PyObject* value) {
    const DumpOptions json_mode{DumpMode::Json, false};
    if (is_enum_member(value)) return checked(PyObject_GetAttrString(value, "value"));
    if (const Schema* schema = schema_of(Py_TYPE(value))) return dump_record(value, *schema, json_mode);
    if (PyAnySet_Check(value)) return checked(PySequence_List(value));
    if (nb::object form = json_form_of_standard_value(value, json_mode); form.is_valid()) return form;
    return checked(PyObject_Str(value));
}

nb::object dump_record(PyObject* record, const Schema& schema, const DumpOptions& options) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(schema.fields.size());
    nb::object out = checked(_PyDict_NewPresized(count));
    for (const Field& field : schema.fields) {
        nb::object value = nb::borrow(field_value(record, field));
        if (value.ptr() == Py_None) {
            if (options.exclude_none) continue;
        } else {
            value = dump_typed(*field.type, value.ptr(), options);
        }
        if (PyDict_SetItem(out.ptr(), field.name, value.ptr()) < 0) throw nb::python_error();
    }
    return out;
}

}  // namespace korvane::records
