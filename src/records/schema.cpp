// Builds the run-time schemas from the declaration table and finds a class's schema.
#include "records/schema.hpp"

#include <atomic>
#include <cctype>
#include <deque>
#include <string>
#include <unordered_map>

#include <nanobind/nanobind.h>

#include "py/raise.hpp"
#include "records/schema_table.hpp"

namespace korvane::records {
namespace {

namespace nb = nanobind;

// The tables below are never destroyed: record classes (and so their instances, which may be
// released as late as the interpreter's own finalization) read them, and the references they hold
// stay reachable for leak checkers. Stable addresses: schemas and types point at each other.
std::deque<Type>& type_store() {
    static auto& store = *new std::deque<Type>();
    return store;
}

std::unordered_map<PyTypeObject*, const Schema*>& class_map() {
    static auto& map = *new std::unordered_map<PyTypeObject*, const Schema*>();
    return map;
}

[[noreturn]] void bad_table(const std::string& what) {
    py::raise(PyExc_RuntimeError, "record table: %s", what.c_str());
}

// Reads one type expression of the table's small grammar.
class TypeParser {
public:
    explicit TypeParser(std::string_view text) : text_(text) {}

    const Type* parse() {
        const Type* type = expression();
        if (pos_ != text_.size()) bad_table("unexpected text in type '" + std::string(text_) + "'");
        return type;
    }

private:
    const Type* expression() {
        std::string_view word = identifier();
        if (word == "Optional") {
            expect('[');
            Type type = *expression();
            expect(']');
            type.optional = true;
            return store(type);
        }
        if (word == "List") {
            expect('[');
            const Type* item = expression();
            expect(']');
            return store({.kind = Kind::List, .item = item, .as_is = item->kind == Kind::Any ? &PyList_Type : nullptr});
        }
        if (word == "Dict") {
            expect('[');
            if (identifier() != "str") bad_table("mapping keys must be str in '" + std::string(text_) + "'");
            expect(',');
            const Type* value = expression();
            expect(']');
            return store(
                {.kind = Kind::Dict, .item = value, .as_is = value->kind == Kind::Any ? &PyDict_Type : nullptr});
        }
        if (word == "str") return store({.kind = Kind::Str, .as_is = &PyUnicode_Type});
        if (word == "int") return store({.kind = Kind::Int, .as_is = &PyLong_Type});
        if (word == "float") return store({.kind = Kind::Float, .as_is = &PyFloat_Type});
        if (word == "bool") return store({.kind = Kind::Bool, .as_is = &PyBool_Type});
        if (word == "datetime") return store({.kind = Kind::DateTime});
        if (word == "Any") return store({.kind = Kind::Any});
        const Schema* record = schema_named(word);
        if (!record) bad_table("unknown type '" + std::string(word) + "'");
        return store({.kind = Kind::Record, .record = record});
    }

    std::string_view identifier() {
        skip_blanks();
        std::size_t start = pos_;
        while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
            ++pos_;
        if (start == pos_) bad_table("type expected in '" + std::string(text_) + "'");
        return text_.substr(start, pos_ - start);
    }

    void expect(char c) {
        skip_blanks();
        if (pos_ >= text_.size() || text_[pos_] != c) {
            bad_table(std::string("'") + c + "' expected in '" + std::string(text_) + "'");
        }
        ++pos_;
        skip_blanks();
    }

    void skip_blanks() {
        while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
    }

    static const Type* store(const Type& type) { return &type_store().emplace_back(type); }

    std::string_view text_;
    std::size_t pos_ = 0;
};

nb::object constant(const DefaultDecl& decl) {
    switch (decl.constant) {
        case ConstantKind::Text: {
            PyObject* text = PyUnicode_InternFromString(decl.text);
            if (!text) throw nb::python_error();
            return nb::steal(text);
        }
        case ConstantKind::Integer: return nb::int_(decl.integer);
        case ConstantKind::Real: return nb::float_(decl.real);
        case ConstantKind::Truth: return nb::bool_(decl.integer != 0);
    }
    bad_table("unknown constant kind");
}

}  // namespace

// Never destroyed, as the tables above; fields hold references to their names and constant
// defaults for the process.
std::vector<Schema>& all_schemas() {
    static auto& schemas = *new std::vector<Schema>();
    return schemas;
}

Schema& base_schema() {
    static Schema& schema = *[] {
        auto* empty = new Schema();
        empty->name = "BaseModel";
        return empty;
    }();
    return schema;
}

Schema* schema_named(std::string_view name) {
    for (Schema& schema : all_schemas()) {
        if (name == schema.name) return &schema;
    }
    return nullptr;
}

void build_schemas() {
    std::vector<Schema>& schemas = all_schemas();
    if (!schemas.empty()) return;
    const auto table = record_table();
    // All schemas exist before any type is read, so a type may name any record.
    schemas.reserve(table.size());
    for (const RecordDecl& decl : table) {
        Schema& schema = schemas.emplace_back();
        schema.name = decl.name;
        schema.doc = decl.doc;
    }
    for (std::size_t r = 0; r < table.size(); ++r) {
        const RecordDecl& decl = table[r];
        if (decl.fields.size() > kMaxFields) bad_table(std::string(decl.name) + " has too many fields");
        Schema& schema = schemas[r];
        for (const FieldDecl& f : decl.fields) {
            Field field;
            field.name = PyUnicode_InternFromString(f.name);
            if (!field.name) throw nb::python_error();
            field.type_text = f.type;
            field.type = TypeParser(f.type).parse();
            field.default_kind = f.value.kind;
            if (f.value.kind == DefaultKind::Constant) field.default_value = constant(f.value).release().ptr();
            field.bounds = f.bounds;
            field.bounded = f.bounds.ge || f.bounds.le || f.bounds.min_length || f.bounds.max_length;
            field.description = f.description;
            schema.fields.push_back(field);
        }
    }
}

void register_class(PyTypeObject* cls, Schema& schema) {
    schema.cls = cls;
    class_map()[cls] = &schema;
}

const Schema* schema_of(PyTypeObject* type) {
    // Records of one class tend to come and go together: the last registered class found is
    // checked first (registered classes live for the process, so the pointer cannot go stale).
    static std::atomic<const Schema*> last{nullptr};
    if (const Schema* seen = last.load(std::memory_order_relaxed); seen && seen->cls == type) return seen;
    auto& map = class_map();
    if (auto hit = map.find(type); hit != map.end()) {
        last.store(hit->second, std::memory_order_relaxed);
        return hit->second;
    }
    // A subclass made by the user: the nearest record class in its MRO.
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(mro); ++i) {
        auto hit = map.find(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (hit != map.end()) return hit->second;
    }
    return nullptr;
}

}  // namespace korvane::records
