// Record shapes for the JSON reader: which members nest records, and how a record is finished
// from its member values.
#include "records/from_json.hpp"

#include <string>
#include <vector>

#include "json/shape.hpp"
#include "records/base_model.hpp"
#include "records/convert.hpp"
#include "records/instance.hpp"

namespace korvane::records {

// Who owns what: the shared shapes (record_shapes()) and each prepared reader's own copy live for
// the process and are never destroyed. A reader copies a shared shape when it is made (its memos
// start empty, see MemoTable) and only then fills `absent`; the shared shapes have none, so no
// two shapes ever hold the same `absent` reference.
struct RecordShape : json::ObjectShape {
    const Schema* schema = nullptr;
    std::vector<PyObject*> absent;  // per field: a strong reference kept for the process, or nullptr
};

namespace {

// The table's own class: allocated directly, as object.__new__ would after its checks.
PyObject* new_record(const Schema& schema, PyObject* const* fields) {
    PyObject* made = schema.cls->tp_alloc(schema.cls, 0);
    if (made) store(made, schema, fields);
    return made;
}

PyObject* finish_record(const json::ObjectShape& base, PyObject* const* values) {
    const auto& shape = static_cast<const RecordShape&>(base);
    const Schema& schema = *shape.schema;
    try {
        if (all_fit_as_is(schema, values)) return new_record(schema, values);
        Validator validator(/*adopt_inputs=*/true);
        FieldValues out(schema.fields.size());
        PyObject* const* absent = shape.absent.empty() ? nullptr : shape.absent.data();
        if (!validator.members(schema, values, absent, out)) return nullptr;
        return new_record(schema, out.data());
    } catch (const std::exception&) {  // nb::python_error included: the general path reports it
        return nullptr;
    }
}

bool all_of_class(PyObject* list, PyTypeObject* cls) {
    if (!PyList_CheckExact(list)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (Py_TYPE(PyList_GET_ITEM(list, i)) != cls) return false;
    }
    return true;
}

// The array of a list answer's wrapper object (its one member: an array of records); an absent
// member is an empty list.
PyObject* finish_wrapper(const json::ObjectShape& shape, PyObject* const* values) {
    if (!values[0]) return PyList_New(0);
    const auto& element = static_cast<const RecordShape&>(*shape.members[0].object);
    if (!all_of_class(values[0], element.schema->cls)) return nullptr;
    return Py_NewRef(values[0]);
}

// The shared shapes of every record, made on first use; nested records point at each other.
std::vector<RecordShape>& record_shapes() {
    static std::vector<RecordShape>* shapes = [] {
        auto* made = new std::vector<RecordShape>(all_schemas().size());  // lives for the process
        std::vector<Schema>& schemas = all_schemas();
        for (std::size_t s = 0; s < schemas.size(); ++s) {
            RecordShape& shape = (*made)[s];
            shape.schema = &schemas[s];
            shape.finish = &finish_record;
            for (const Field& field : schemas[s].fields) {
                shape.keys.emplace_back(PyUnicode_AsUTF8(field.name));
                json::Shape member;
                const Type* type = field.type;
                if (type->kind == Kind::List && type->item->kind == Kind::Record) {
                    member.array = true;
                    type = type->item;
                }
                if (type->kind == Kind::Record)
                    member.object = &(*made)[static_cast<std::size_t>(type->record - schemas.data())];
                shape.members.push_back(member);
            }
        }
        return made;
    }();
    return *shapes;
}

}  // namespace

JsonRecords::JsonRecords(std::string_view record, Layout layout, const char* member, nb::dict absent)
    : layout_(layout) {
    const Schema* schema = schema_named(record);
    if (!schema) throw std::invalid_argument("no such record");
    const RecordShape& shared = record_shapes()[static_cast<std::size_t>(schema - all_schemas().data())];
    top_ = std::make_unique<RecordShape>(shared);
    if (absent.size() > 0) {
        top_->absent.assign(schema->fields.size(), nullptr);
        for (std::size_t i = 0; i < schema->fields.size(); ++i) {
            PyObject* value = PyDict_GetItemWithError(absent.ptr(), schema->fields[i].name);
            if (!value && PyErr_Occurred()) throw nb::python_error();
            top_->absent[i] = Py_XNewRef(value);  // kept for the process
        }
    }
    if (layout == Layout::List && member) {
        wrapper_ = std::make_unique<json::ObjectShape>();
        wrapper_->keys.emplace_back(member);
        wrapper_->members.push_back(json::Shape{top_.get(), true});
        wrapper_->finish = &finish_wrapper;
    }
}

JsonRecords::~JsonRecords() = default;

const JsonRecords* json_records_of(PyTypeObject* cls) {
    const Schema* schema = schema_of(cls);
    std::vector<Schema>& schemas = all_schemas();
    if (!schema || schema->cls != cls || schema < schemas.data() || schema >= schemas.data() + schemas.size()) {
        return nullptr;  // BaseModel itself, or a user's subclass
    }
    // Kept for the process (never destroyed), like the record classes.
    static std::vector<std::unique_ptr<JsonRecords>>& readers = *new std::vector<std::unique_ptr<JsonRecords>>(
        all_schemas().size());
    auto& reader = readers[static_cast<std::size_t>(schema - all_schemas().data())];
    if (!reader) reader = std::make_unique<JsonRecords>(schema->name, JsonRecords::Layout::Object);
    return reader.get();
}

nb::object JsonRecords::read(std::string_view text) const {
    if (layout_ == Layout::Object) return json::parse_shaped(text, json::Shape{top_.get(), false});
    std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && text[first] == '[') {
        nb::object list = json::parse_shaped(text, json::Shape{top_.get(), true});
        if (list.is_valid() && !all_of_class(list.ptr(), top_->schema->cls)) return {};
        return list;
    }
    if (!wrapper_) return {};
    return json::parse_shaped(text, json::Shape{wrapper_.get(), false});
}

}  // namespace korvane::records
