// Shaped reading: JSON text read straight into the caller's own objects (records) instead of
// dicts, for answers whose layout is known in advance.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::json {

namespace nb = nanobind;

struct ObjectShape;

// The last short string and the last integer read for one member, reused while the text repeats
// them (ids, names, constants and times repeat across the records of one answer or stream). Both
// are immutable, so sharing one is never visible.
struct ValueMemo {
    std::string bytes;
    PyObject* text = nullptr;  // owned by the memo
    std::int64_t integer = 0;
    PyObject* number = nullptr;  // owned by the memo
};

// The memos of one shape's members, kept between reads.
//
// Who owns what: each memo owns one strong reference to each value it holds, and nothing else
// owns those references. Only the shaped reader replaces a memo's value, with the GIL held: it
// installs the new value (with a reference of its own) before it releases the old one, and what it
// hands on is always a new reference. So a finish step, and the record it makes, never holds a
// memo's own reference: it may keep, store or drop the values it is handed like any others.
// A copy of a shape starts with no memos (a copied memo would hold a reference it does not own:
// whichever memo replaced its value first would free the other's). The module's shapes live for
// the process and are never destroyed; a table destroyed by anyone else must be with the GIL held.
class MemoTable {
public:
    MemoTable() = default;
    MemoTable(const MemoTable&) noexcept {}
    MemoTable& operator=(const MemoTable&) noexcept { return *this; }
    ~MemoTable() { release(); }

    // The memos of the shape's `count` members (always the same count), made on first use;
    // nullptr when memory is short.
    ValueMemo* get(std::size_t count) noexcept {
        if (!memos_) {
            memos_.reset(new (std::nothrow) ValueMemo[count]);
            if (!memos_) return nullptr;
            count_ = count;
        }
        return memos_.get();
    }

    // Drops every kept reference. Needs the GIL.
    void release() noexcept {
        for (std::size_t i = 0; i < count_; ++i) {
            Py_CLEAR(memos_[i].text);
            Py_CLEAR(memos_[i].number);
        }
        memos_.reset();
        count_ = 0;
    }

private:
    std::unique_ptr<ValueMemo[]> memos_;
    std::size_t count_ = 0;
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
    mutable MemoTable memos;        // guarded by the GIL; a copy of the shape starts empty
    // A new reference, or nullptr when the values do not make a valid object (a Python error may
    // be set; it is discarded). `values` (one per key, nullptr when absent) are borrowed from the
    // reader, which releases them after the call: finish takes its own reference to whatever it
    // keeps, and may change in place the lists and dicts among them (each was made for this read
    // and is referenced by nothing else); strings and integers may be shared with the memos.
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
