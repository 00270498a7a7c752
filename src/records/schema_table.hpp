// Declarations of the records, written once: the engine builds classes and schemas from them.
#pragma once
#include <span>

#include "records/schema.hpp"

namespace korvane::records {

enum class ConstantKind : std::uint8_t { Text, Integer, Real, Truth };

struct DefaultDecl {
    DefaultKind kind = DefaultKind::Required;
    ConstantKind constant = ConstantKind::Text;
    const char* text = nullptr;
    long long integer = 0;
    double real = 0.0;
};

constexpr DefaultDecl required() { return {}; }
constexpr DefaultDecl null() { return {.kind = DefaultKind::None}; }
constexpr DefaultDecl text(const char* value) {
    return {.kind = DefaultKind::Constant, .constant = ConstantKind::Text, .text = value};
}
constexpr DefaultDecl integer(long long value) {
    return {.kind = DefaultKind::Constant, .constant = ConstantKind::Integer, .integer = value};
}
constexpr DefaultDecl real(double value) {
    return {.kind = DefaultKind::Constant, .constant = ConstantKind::Real, .real = value};
}
constexpr DefaultDecl truth(bool value) {
    return {.kind = DefaultKind::Constant, .constant = ConstantKind::Truth, .integer = value ? 1 : 0};
}
constexpr DefaultDecl fresh_list() { return {.kind = DefaultKind::EmptyList}; }
constexpr DefaultDecl fresh_dict() { return {.kind = DefaultKind::EmptyDict}; }

constexpr Bounds range(long long ge, long long le) {
    Bounds bounds;
    bounds.ge = ge;
    bounds.le = le;
    return bounds;
}
constexpr Bounds length(Py_ssize_t min_length, Py_ssize_t max_length) {
    Bounds bounds;
    bounds.min_length = min_length;
    bounds.max_length = max_length;
    return bounds;
}

// One field: name, type text ("str", "Optional[datetime]", "List[ChatCompletionChoice]",
// "Dict[str, Any]", ...), default, bounds, description (nullptr when none).
struct FieldDecl {
    const char* name;
    const char* type;
    DefaultDecl value;
    Bounds bounds = {};
    const char* description = nullptr;
};

struct RecordDecl {
    const char* name;
    const char* doc;
    std::span<const FieldDecl> fields;
};

// The records of korvane_sdk.models, in the order the module lists them.
std::span<const RecordDecl> record_table();

}  // namespace korvane::records
