// BaseModel: construction, repr, equality, iteration and the model_* methods of every record.
#include "records/base_model.hpp"

#include <array>
#include <deque>
#include <string>
#include <vector>

#include "json/json.hpp"
#include "py/arguments.hpp"
#include "py/checks.hpp"
#include "py/guard.hpp"
#include "py/raise.hpp"
#include "records/convert.hpp"
#include "records/dump.hpp"
#include "records/from_json.hpp"
#include "records/instance.hpp"
#include "records/request_id.hpp"
#include "records/validation_error.hpp"
#include "util/python_compat.hpp"

namespace korvane::records {
namespace {

PyTypeObject* g_base = nullptr;  // kept for the life of the process

using py::checked;
using py::truthy;

[[noreturn]] void raise_model_type(PyTypeObject* cls, PyObject* input) {
    nb::object name = class_name(cls);
    nb::dict ctx;
    ctx["class_name"] = name;
    raise_single(name, "model_type", nb::str("Input should be a valid dictionary or instance of {}").format(name),
                 input, ctx);
}

// A new record of `cls` from `members` (a dict or other Mapping).
nb::object build(PyTypeObject* cls, PyObject* members) {
    const Schema& schema = schema_for(cls);
    nb::object mapping = PyDict_Check(members) ? nb::borrow(members) : as_dict(members);
    if (!mapping.is_valid()) raise_model_type(cls, members);
    nb::object self = new_instance(cls);
    validate_into(self.ptr(), schema, mapping.ptr(), cls);
    return self;
}

// --- slots ---

int init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded(-1, [&] {
        PyTypeObject* cls = Py_TYPE(self);
        if (PyTuple_GET_SIZE(args) != 0) {
            py::raise(PyExc_TypeError, "%U.__init__() takes 1 positional argument but %zd were given",
                      class_name(cls).ptr(), PyTuple_GET_SIZE(args) + 1);
        }
        if (cls == g_base) {
            py::raise(PyExc_TypeError, "%s has no fields: build one of the records of korvane_sdk.models",
                      cls->tp_name);
        }
        const Schema& schema = schema_for(cls);
        nb::object mapping = kwargs ? nb::borrow(kwargs) : checked(PyDict_New());
        validate_into(self, schema, mapping.ptr(), cls);
        return 0;
    });
}

// "field=value" for every field, joined by `separator`; a record met again inside itself shows as
// Name(...). repr() encloses them in Name(...), str() gives them alone, as pydantic does.
PyObject* fields_text(PyObject* self, const char* separator, bool enclosed) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        nb::object name = class_name(Py_TYPE(self));
        const int seen = Py_ReprEnter(self);
        if (seen < 0) throw nb::python_error();
        if (seen > 0) return PyUnicode_FromFormat("%U(...)", name.ptr());
        struct Leave {
            PyObject* self;
            ~Leave() { Py_ReprLeave(self); }
        } leave{self};
        const Schema& schema = schema_for(Py_TYPE(self));
        nb::object parts = checked(PyList_New(0));
        for (const Field& field : schema.fields) {
            PyObject* value = *slot(self, field);
            if (!value) continue;  // deleted by hand
            nb::object keep = nb::borrow(value);
            nb::object part = checked(PyUnicode_FromFormat("%U=%R", field.name, value));
            if (PyList_Append(parts.ptr(), part.ptr()) < 0) throw nb::python_error();
        }
        nb::object joined = checked(PyUnicode_Join(nb::str(separator).ptr(), parts.ptr()));
        if (!enclosed) return joined.release().ptr();
        return PyUnicode_FromFormat("%U(%U)", name.ptr(), joined.ptr());
    });
}

PyObject* repr(PyObject* self) { return fields_text(self, ", ", true); }
PyObject* str(PyObject* self) { return fields_text(self, " ", false); }

// Equal when of the same class with equal field values; other objects: NotImplemented.
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(self) != Py_TYPE(other)) Py_RETURN_NOTIMPLEMENTED;
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Schema& schema = schema_for(Py_TYPE(self));
        bool equal = true;
        for (const Field& field : schema.fields) {
            // Held: comparing may run code that reassigns the fields.
            nb::object keep_a = nb::borrow(*slot(self, field)), keep_b = nb::borrow(*slot(other, field));
            PyObject *a = keep_a.ptr(), *b = keep_b.ptr();
            if (!a || !b) {
                equal = !a && !b;
            } else {
                const int same = PyObject_RichCompareBool(a, b, Py_EQ);
                if (same < 0) throw nb::python_error();
                equal = same == 1;
            }
            if (!equal) break;
        }
        return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
    });
}

// (name, value) pairs in declaration order.
PyObject* iterate(PyObject* self) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Schema& schema = schema_for(Py_TYPE(self));
        nb::object pairs = checked(PyList_New(0));
        for (const Field& field : schema.fields) {
            nb::object pair = checked(PyTuple_Pack(2, field.name, field_value(self, field)));
            if (PyList_Append(pairs.ptr(), pair.ptr()) < 0) throw nb::python_error();
        }
        return PyObject_GetIter(pairs.ptr());
    });
}

// --- methods ---

DumpOptions dump_options(const char* function, PyObject* mode, PyObject* exclude_none) {
    DumpOptions options;
    if (mode) {
        if (PyUnicode_Check(mode) && PyUnicode_CompareWithASCIIString(mode, "json") == 0) {
            options.mode = DumpMode::Json;
        } else if (!PyUnicode_Check(mode) || PyUnicode_CompareWithASCIIString(mode, "python") != 0) {
            py::raise(PyExc_ValueError, "%s(): mode must be 'python' or 'json', not %R", function, mode);
        }
    }
    options.exclude_none = exclude_none && truthy(exclude_none);
    return options;
}

PyObject* model_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 3> a;
        // by_alias is accepted and changes nothing: no record declares aliases.
        if (!py::bind_arguments("model_dump", args, nargs, kwnames, 0, {"mode", "exclude_none", "by_alias"},
                                a.data())) {
            return nullptr;
        }
        DumpOptions options = dump_options("model_dump", a[0], a[1]);
        return dump_record(self, schema_for(Py_TYPE(self)), options).release().ptr();
    });
}

PyObject* model_dump_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 3> a;
        if (!py::bind_arguments("model_dump_json", args, nargs, kwnames, 0, {"indent", "exclude_none", "by_alias"},
                                a.data())) {
            return nullptr;
        }
        DumpOptions options{DumpMode::Json, a[1] && truthy(a[1])};
        nb::object data = dump_record(self, schema_for(Py_TYPE(self)), options);
        if (a[0] && a[0] != Py_None) {
            // Indented text is for people; the interpreter's writer does it.
            nb::object dumps = nb::module_::import_("json").attr("dumps");
            return dumps(data, nb::arg("indent") = nb::handle(a[0]), nb::arg("ensure_ascii") = false).release().ptr();
        }
        std::string text;
        json::write(data, text);
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    });
}

// The fields as a mapping of name to value (the fields that are set), followed by the attributes
// a subclass's instance may carry in its __dict__.
nb::object field_values(PyObject* self, const Schema& schema) {
    nb::object values = checked(PyDict_New());
    if (Py_TYPE(self)->tp_dictoffset != 0) {
        nb::object extra = checked(PyObject_GenericGetDict(self, nullptr));
        if (PyDict_Update(values.ptr(), extra.ptr()) < 0) throw nb::python_error();
    }
    for (const Field& field : schema.fields) {
        if (PyObject* value = *slot(self, field)) {
            if (PyDict_SetItem(values.ptr(), field.name, value) < 0) throw nb::python_error();
        }
    }
    return values;
}

// Sets fields from a mapping of name to value, unchecked. A name that is no field goes to the
// __dict__ of a subclass's instance; records of the SDK's own classes have no room for it.
void set_field_values(PyObject* self, const Schema& schema, PyObject* values) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(values, &pos, &key, &value)) {
        const Field* target = nullptr;
        for (const Field& field : schema.fields) {
            if (PyUnicode_Check(key) && PyUnicode_Compare(key, field.name) == 0) target = &field;
        }
        if (target) {
            Py_XSETREF(*slot(self, *target), Py_NewRef(value));
        } else if (Py_TYPE(self)->tp_dictoffset != 0 && PyUnicode_Check(key)) {
            if (PyObject_GenericSetAttr(self, key, value) < 0) throw nb::python_error();
        } else {
            py::raise(PyExc_ValueError, "\"%U\" object has no field \"%S\"", class_name(Py_TYPE(self)).ptr(), key);
        }
    }
}

// A copy with the same values (shared unless `deep`), then `update` applied as given, unchecked.
PyObject* model_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 2> a;
        if (!py::bind_arguments("model_copy", args, nargs, kwnames, 0, {"update", "deep"}, a.data())) return nullptr;
        const Schema& schema = schema_for(Py_TYPE(self));
        nb::object values = field_values(self, schema);
        if (a[1] && truthy(a[1])) values = nb::module_::import_("copy").attr("deepcopy")(values);
        if (a[0] && a[0] != Py_None && PyDict_Merge(values.ptr(), a[0], 1) < 0) throw nb::python_error();
        nb::object copy = new_instance(Py_TYPE(self));
        set_field_values(copy.ptr(), schema, values.ptr());
        return copy.release().ptr();
    });
}

// Pickling and copying: the state is the mapping of field values.
PyObject* get_state(PyObject* self, PyObject*) {
    return py::guarded<PyObject*>(nullptr,
                                  [&] { return field_values(self, schema_for(Py_TYPE(self))).release().ptr(); });
}

PyObject* set_state(PyObject* self, PyObject* state) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyDict_Check(state)) {
            PyErr_Format(PyExc_TypeError, "%s.__setstate__() expects a dict, not %s", Py_TYPE(self)->tp_name,
                         Py_TYPE(state)->tp_name);
            return nullptr;
        }
        set_field_values(self, schema_for(Py_TYPE(self)), state);
        Py_RETURN_NONE;
    });
}

PyObject* model_validate(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 1> a;
        if (!py::bind_arguments("model_validate", args, nargs, kwnames, 1, {"obj"}, a.data())) return nullptr;
        if (!a[0]) {
            PyErr_SetString(PyExc_TypeError, "model_validate() missing 1 required positional argument: 'obj'");
            return nullptr;
        }
        return validate_object(reinterpret_cast<PyTypeObject*>(cls), a[0]).release().ptr();
    });
}

// Parses JSON text (str, bytes or bytearray) and builds a record from the object it holds.
PyObject* model_validate_json(PyObject* cls_object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 1> a;
        if (!py::bind_arguments("model_validate_json", args, nargs, kwnames, 1, {"json_data"}, a.data()))
            return nullptr;
        PyObject* data = a[0];
        if (!data) {
            PyErr_SetString(PyExc_TypeError,
                            "model_validate_json() missing 1 required positional argument: 'json_data'");
            return nullptr;
        }
        PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(cls_object);
        schema_for(cls);
        std::string_view text;
        std::string copy;
        if (PyUnicode_Check(data)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(data, &size);
            if (!utf8) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw nb::python_error();
                PyErr_Clear();
                nb::str reason("text holds characters that cannot be encoded (lone surrogates)");
                nb::dict ctx;
                ctx["error"] = reason;
                raise_single(class_name(cls), "json_invalid", nb::str("Invalid JSON: {}").format(reason), data, ctx);
            }
            text = std::string_view(utf8, static_cast<std::size_t>(size));
        } else if (PyBytes_Check(data)) {
            text = std::string_view(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        } else if (PyByteArray_Check(data)) {
            // Copied: the parser must not see the buffer change under it.
            copy.assign(PyByteArray_AS_STRING(data), static_cast<std::size_t>(PyByteArray_GET_SIZE(data)));
            text = copy;
        } else {
            raise_single(class_name(cls), "json_type", nb::str("JSON input should be string, bytes or bytearray"),
                         data);
        }
        // Malformed JSON (and undecodable bytes) is bad input like any other: a validation problem.
        auto invalid = [&](nb::str reason) {
            nb::dict ctx;
            ctx["error"] = reason;
            raise_single(class_name(cls), "json_invalid", nb::str("Invalid JSON: {}").format(reason), data, ctx);
        };
        // A record class of the table itself (not a subclass) is read straight from the text when
        // it can be; anything else takes the general path below.
        if (const JsonRecords* reader = json_records_of(cls)) {
            if (nb::object made = reader->read(text); made.is_valid()) return made.release().ptr();
        }
        nb::object parsed;
        try {
            parsed = json::parse(text);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            invalid(nb::str(e.value()));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            if (!PyErr_Occurred()) invalid(nb::str(e.what()));
            nb::python_error pending;  // the decoder's own error, taken over
            if (!pending.matches(PyExc_ValueError)) throw pending;
            invalid(nb::str(pending.value()));
        }
        if (!PyDict_Check(parsed.ptr())) raise_model_type(cls, parsed.ptr());
        return build(cls, parsed.ptr()).release().ptr();
    });
}

// Subclasses may not declare new fields: they would be dropped silently otherwise.
PyObject* init_subclass(PyObject* cls_object, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(cls_object);
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
            PyErr_Format(PyExc_TypeError, "%s.__init_subclass__() takes no arguments", cls->tp_name);
            return nullptr;
        }
        const Schema* schema = schema_of(cls);
        if (!schema) Py_RETURN_NONE;
        PyObject* annotations = PyDict_GetItemString(cls->tp_dict, "__annotations__");
        if (!annotations || !PyDict_Check(annotations)) Py_RETURN_NONE;
        nb::object added = checked(PyList_New(0));
        PyObject *name, *annotation;
        Py_ssize_t pos = 0;
        while (PyDict_Next(annotations, &pos, &name, &annotation)) {
            if (!PyUnicode_Check(name) || PyUnicode_READ_CHAR(name, 0) == '_') continue;
            bool known = false;
            for (const Field& field : schema->fields) known = known || PyUnicode_Compare(name, field.name) == 0;
            if (known) continue;
            nb::object text = checked(PyUnicode_Check(annotation) ? Py_NewRef(annotation) : PyObject_Repr(annotation));
            if (PyUnicode_Find(text.ptr(), nb::str("ClassVar").ptr(), 0, PyUnicode_GET_LENGTH(text.ptr()), 1) >= 0) {
                continue;
            }
            if (PyList_Append(added.ptr(), name) < 0) throw nb::python_error();
        }
        if (PyList_GET_SIZE(added.ptr()) == 0) Py_RETURN_NONE;
        nb::object names = checked(PyUnicode_Join(nb::str(", ").ptr(), added.ptr()));
        PyErr_Format(PyExc_TypeError,
                     "%s cannot declare new fields (%U): the records of korvane_sdk.models have fixed fields",
                     cls->tp_name, names.ptr());
        return nullptr;
    });
}

PyObject* get_pydantic_core_schema(PyObject* cls, PyObject* const*, Py_ssize_t, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&] { return pydantic_core_schema(cls).release().ptr(); });
}

PyObject* get_pydantic_json_schema(PyObject* cls, PyObject* const*, Py_ssize_t, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        return pydantic_json_schema(schema_for(reinterpret_cast<PyTypeObject*>(cls))).release().ptr();
    });
}

// model_fields works on the class and on its records alike.
PyObject* fields_descriptor_get(PyObject*, PyObject* instance, PyObject* owner) {
    return py::guarded<PyObject*>(nullptr, [&] {
        PyTypeObject* cls = owner ? reinterpret_cast<PyTypeObject*>(owner) : Py_TYPE(instance);
        return model_fields(schema_for(cls)).release().ptr();
    });
}

// __signature__ of a record class, for inspect.signature(), help() and IDEs: one keyword-only
// parameter per field with its annotation and default (a factory's default is a fresh value), as
// the constructor takes them; BaseModel itself takes **data. Made on each request: only
// introspection asks, and inspect is imported only then.
PyObject* signature_descriptor_get(PyObject*, PyObject* instance, PyObject* owner) {
    return py::guarded<PyObject*>(nullptr, [&] {
        PyTypeObject* cls = owner ? reinterpret_cast<PyTypeObject*>(owner) : Py_TYPE(instance);
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::list parameters;
        if (cls == g_base) {
            parameters.append(parameter("data", parameter.attr("VAR_KEYWORD")));
        } else {
            nb::object fields = model_fields(schema_for(cls));
            for (auto [name, info] : nb::borrow<nb::dict>(fields)) {
                nb::dict options;
                options["annotation"] = nb::getattr(info, "annotation");
                if (!truthy(nb::getattr(info, "is_required")().ptr())) {
                    nb::object factory = nb::getattr(info, "default_factory");
                    options["default"] = factory.is_none() ? nb::getattr(info, "default") : factory();
                }
                nb::object made = nb::steal(PyObject_Call(
                    parameter.ptr(), nb::make_tuple(name, parameter.attr("KEYWORD_ONLY")).ptr(), options.ptr()));
                if (!made.is_valid()) throw nb::python_error();
                parameters.append(made);
            }
        }
        return inspect.attr("Signature")(parameters, nb::arg("return_annotation") = nb::none()).release().ptr();
    });
}

template <auto Method>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef g_methods[] = {
    {"model_dump", fastcall<&model_dump>(), METH_FASTCALL | METH_KEYWORDS,
     "model_dump($self, /, *, mode='python', exclude_none=False, by_alias=False)\n--\n\n"
     "The fields as a mapping in declaration order; nested records become mappings. mode='json' gives "
     "only JSON types; exclude_none=True leaves out the fields whose value is None."},
    {"model_dump_json", fastcall<&model_dump_json>(), METH_FASTCALL | METH_KEYWORDS,
     "model_dump_json($self, /, *, indent=None, exclude_none=False, by_alias=False)\n--\n\n"
     "The record as JSON text."},
    {"model_copy", fastcall<&model_copy>(), METH_FASTCALL | METH_KEYWORDS,
     "model_copy($self, /, *, update=None, deep=False)\n--\n\n"
     "A copy of the record; `update` values are set as given, without validation."},
    {"__getstate__", reinterpret_cast<PyCFunction>(&get_state), METH_NOARGS, "The field values, for pickling."},
    {"__setstate__", reinterpret_cast<PyCFunction>(&set_state), METH_O, "Restores the field values."},
    {"model_validate", fastcall<&model_validate>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "model_validate($cls, /, obj)\n--\n\n"
     "A record from a mapping (or the object itself when it already is one)."},
    {"model_validate_json", fastcall<&model_validate_json>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "model_validate_json($cls, /, json_data)\n--\n\n"
     "A record from JSON text (str, bytes or bytearray) holding an object."},
    {"__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&init_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, "Checks that a subclass declares no new fields."},
    {"__get_pydantic_core_schema__", fastcall<&get_pydantic_core_schema>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "Lets a record be a field type of a pydantic model."},
    {"__get_pydantic_json_schema__", fastcall<&get_pydantic_json_schema>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "The JSON schema of the record, for pydantic models that hold it."},
    {nullptr, nullptr, 0, nullptr},
};

// Read-only: the id is the platform's word on which answer made the record, never the application's.
PyObject* request_id_get(PyObject* self, void*) { return Py_NewRef(request_id_of(self)); }

PyGetSetDef g_getset[] = {
    {"_request_id", &request_id_get, nullptr,
     "The X-Request-Id of the answer a call read this record from, when the call returned it; None for a "
     "record made by the application, a copy, a nested record, a member of a list, or an answer without one.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_base_slots[] = {
    {Py_tp_doc, const_cast<char*>("Base class of the records: typed fields, validation on construction, dumping.")},
    {Py_tp_init, reinterpret_cast<void*>(&init)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {Py_tp_str, reinterpret_cast<void*>(&str)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare)},
    {Py_tp_iter, reinterpret_cast<void*>(&iterate)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_base_spec = {"korvane_sdk.models.BaseModel", static_cast<int>(sizeof(PyObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, g_base_slots};

PyType_Slot g_descriptor_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(&fields_descriptor_get)},
    {0, nullptr},
};

PyType_Spec g_descriptor_spec = {"korvane_sdk.models._ModelFields", static_cast<int>(sizeof(PyObject)), 0,
                                 Py_TPFLAGS_DEFAULT, g_descriptor_slots};

PyType_Slot g_signature_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(&signature_descriptor_get)},
    {0, nullptr},
};

PyType_Spec g_signature_spec = {"korvane_sdk.models._Signature", static_cast<int>(sizeof(PyObject)), 0,
                                Py_TPFLAGS_DEFAULT, g_signature_slots};

}  // namespace

PyTypeObject* base_model() { return g_base; }

PyTypeObject* create_base_model() {
    if (g_base) return g_base;
    nb::object base = checked(PyType_FromSpec(&g_base_spec));
    nb::object descriptor_type = checked(PyType_FromSpec(&g_descriptor_spec));
    nb::object descriptor = checked(PyObject_CallNoArgs(descriptor_type.ptr()));
    if (PyObject_SetAttrString(base.ptr(), "model_fields", descriptor.ptr()) < 0) throw nb::python_error();
    nb::object signature_type = checked(PyType_FromSpec(&g_signature_spec));
    nb::object signature = checked(PyObject_CallNoArgs(signature_type.ptr()));
    if (PyObject_SetAttrString(base.ptr(), "__signature__", signature.ptr()) < 0) throw nb::python_error();
    g_base = reinterpret_cast<PyTypeObject*>(base.release().ptr());
    return g_base;
}

namespace {

// --- record classes ---
//
// Each record class is a heap type made from a spec: one object slot per field (then a weak
// reference list), so records store and read values by offset with no dict at all. Creating a
// class this way is also far cheaper at import than type(name, bases, namespace).

// Spec data must stay valid for the life of the classes: kept here, one entry per record class.
struct ClassSpec {
    std::string qualified_name;
    std::vector<PyMemberDef> members;
    std::vector<PyType_Slot> slots;
    PyType_Spec spec{};
};

// Never destroyed: the classes made from these specs live for the process.
std::deque<ClassSpec>& class_specs() {
    static auto& specs = *new std::deque<ClassSpec>();
    return specs;
}

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (const Schema* schema = schema_of(Py_TYPE(self))) {
        for (const Field& field : schema->fields) Py_VISIT(*slot(self, field));
    }
    return 0;
}

int record_clear(PyObject* self) {
    if (const Schema* schema = schema_of(Py_TYPE(self))) {
        for (const Field& field : schema->fields) Py_CLEAR(*slot(self, field));
    }
    return 0;
}

void record_dealloc(PyObject* self) {
    PyTypeObject* cls = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, record_dealloc) if (const Py_ssize_t offset = cls->tp_weaklistoffset; offset > 0) {
        if (*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset)) PyObject_ClearWeakRefs(self);
    }
    record_clear(self);
    cls->tp_free(self);
    Py_DECREF(cls);
    Py_TRASHCAN_END
}

}  // namespace

nb::object make_record_class(Schema& schema) {
    ClassSpec& spec = class_specs().emplace_back();
    spec.qualified_name = std::string("korvane_sdk.models.") + schema.name;
    Py_ssize_t offset = static_cast<Py_ssize_t>(sizeof(PyObject));
    for (Field& field : schema.fields) {
        field.offset = offset;
        // Field names live in the declaration table for the life of the process.
        spec.members.push_back(PyMemberDef{PyUnicode_AsUTF8(field.name), Py_T_OBJECT_EX, offset, 0, field.description});
        offset += static_cast<Py_ssize_t>(sizeof(PyObject*));
    }
    spec.members.push_back(PyMemberDef{"__weaklistoffset__", Py_T_PYSSIZET, offset, Py_READONLY, nullptr});
    offset += static_cast<Py_ssize_t>(sizeof(PyObject*));
    spec.members.push_back(PyMemberDef{nullptr, 0, 0, 0, nullptr});
    spec.slots = {
        {Py_tp_doc, const_cast<char*>(schema.doc)},
        {Py_tp_members, spec.members.data()},
        {Py_tp_traverse, reinterpret_cast<void*>(&record_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&record_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&record_dealloc)},
        {0, nullptr},
    };
    spec.spec = PyType_Spec{spec.qualified_name.c_str(), static_cast<int>(offset), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, spec.slots.data()};
    nb::object bases = checked(PyTuple_Pack(1, reinterpret_cast<PyObject*>(g_base)));
    nb::object cls = checked(PyType_FromSpecWithBases(&spec.spec, bases.ptr()));
    register_class(reinterpret_cast<PyTypeObject*>(cls.ptr()), schema);
    return cls;
}

const Schema& schema_for(PyTypeObject* cls) {
    const Schema* schema = PyType_Check(reinterpret_cast<PyObject*>(cls)) ? schema_of(cls) : nullptr;
    if (!schema) {
        py::raise(PyExc_TypeError, "%R is not a record class", reinterpret_cast<PyObject*>(cls));
    }
    return *schema;
}

nb::object validate_object(PyTypeObject* cls, PyObject* obj) {
    if (PyObject_TypeCheck(obj, cls)) return nb::borrow(obj);
    return build(cls, obj);
}

}  // namespace korvane::records
