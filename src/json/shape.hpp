// Shaped reading: JSON text read straight into the caller's own objects (records) instead of
// dicts, for answers whose layout is known in advance.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::json {

namespace nb = nanobind;

struct ObjectShape;

// The last short string and the last integer read for one member, reused while the text repeats
// them (ids, names, constants and times repeat across the records of one answer or stream). Both
// are immutable, so sharing one is never visible. References are kept for the process, as the
// shapes are.
struct ValueMemo {
    std::string bytes;
    PyObject* text = nullptr;
    std::int64_t integer = 0;
    PyObject* number = nullptr;
};

// What is expected at one place of a document: an object of `object`'s shape, an array of such
// objects (`array`), or, with no object shape, any value (read as plain Python objects).
struct Shape {
    const ObjectShape* object = nullptr;
    bool array = false;
};

// An object with known members. Its members are collected in declaration order, one value per
// known key (absent: nullptr; repeated: the last one), members not known are read and dropped,
// then `finish` makes the object from them.
struct ObjectShape {
    std::vector<std::string> keys;  // UTF-8
    std::vector<Shape> members;     // one per key
    mutable std::vector<ValueMemo> memos;  // one per key once used; guarded by the GIL
    // A new reference, or nullptr when the values do not make a valid object (a Python error may
    // be set; it is discarded). `values` are owned by the caller.
    PyObject* (*finish)(const ObjectShape& shape, PyObject* const* values) = nullptr;
};

// Reads `text` as `shape` says. Inside the document, a member whose value is not the object or
// array its shape expects is read as a plain value and left to `finish` to judge. The result is
// an invalid object, with no Python error set, when the text is not valid JSON, when its top value
// is not what `shape` expects, when it holds anything only the general reader reads exactly (lone
// surrogate escapes, integers beyond 64 bits, numbers beyond the double range, a byte order mark),
// or when a finish fails: the caller then takes its general path, which gives the same result or
// the proper error. Needs the GIL.
nb::object parse_shaped(std::string_view text, const Shape& shape);

}  // namespace korvane::json
