// The shape of a record at run time: fields with their types, defaults and bounds.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace korvane::records {

// Most fields any record has; values are gathered on the stack before they are stored.
inline constexpr std::size_t kMaxFields = 32;

enum class Kind : std::uint8_t { Str, Int, Float, Bool, DateTime, Any, List, Dict, Record };

struct Schema;

// One declared type, e.g. "Optional[List[str]]". Nested types live in the same registry.
struct Type {
    Kind kind = Kind::Any;
    bool optional = false;
    const Type* item = nullptr;      // element of a List, value of a Dict (keys are always str)
    const Schema* record = nullptr;  // the nested record of a Record
    // Values of exactly this class need no conversion and no look inside (str, int, float, bool,
    // and lists or dicts of Any); nullptr when the kind must be looked at.
    PyTypeObject* as_is = nullptr;
};

enum class DefaultKind : std::uint8_t { Required, None, Constant, EmptyList, EmptyDict };

// Inclusive bounds: ge/le for numbers, min_length/max_length (characters) for text.
struct Bounds {
    std::optional<long long> ge, le;
    std::optional<Py_ssize_t> min_length, max_length;
};

// Python objects below are strong references kept for the life of the process: the record
// classes never go away, so neither do their schemas.
struct Field {
    PyObject* name = nullptr;         // interned field name
    const char* type_text = nullptr;  // as declared, shown in model_fields
    const Type* type = nullptr;
    DefaultKind default_kind = DefaultKind::Required;
    PyObject* default_value = nullptr;  // DefaultKind::Constant: an immutable value shared by all records
    Bounds bounds;
    bool bounded = false;  // any bound set
    const char* description = nullptr;
    Py_ssize_t offset = 0;  // of the field's slot in a record of the class
};

struct Schema {
    const char* name = nullptr;
    const char* doc = nullptr;
    std::vector<Field> fields;
    PyTypeObject* cls = nullptr;               // the record class
    mutable PyObject* model_fields = nullptr;  // name -> FieldInfo, built on first use
};

// Builds every schema of the declaration table; types naming records are resolved here.
// Raises (nb::python_error / RuntimeError) for a table that does not parse.
void build_schemas();

// Every record schema, in declaration order, and the empty schema of BaseModel itself.
std::vector<Schema>& all_schemas();
Schema& base_schema();

// The schema named `name`, or nullptr.
Schema* schema_named(std::string_view name);

// Ties a class to its schema (done once per record class and for BaseModel).
void register_class(PyTypeObject* cls, Schema& schema);

// The schema of `type` or of the nearest record class it derives from; nullptr if none.
const Schema* schema_of(PyTypeObject* type);

}  // namespace korvane::records
