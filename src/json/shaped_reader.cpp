// Shaped reading: objects of a known layout go to their finish function as an array of member
// values, never through a dict; everything else becomes plain Python values.
//
// Unlike the plain reader, this one only accepts: any text it does not take as is goes to the
// caller's general path, which reports the fault. So it can decode the whole document first
// (simdjson's DOM parser: numbers already converted, strings already unescaped, every byte
// checked) and then walk the result once, which costs a small document far less than pulling
// each value through the on-demand parser. The parser's numbers are correctly rounded and it
// refuses what the interpreter's json module would read differently (lone surrogate escapes,
// integers beyond 64 bits, numbers beyond the double range, NaN and Infinity): those texts take
// the general path.
#include <algorithm>
#include <memory>
#include <new>

#include "json/key_cache.hpp"
#include "json/reader.hpp"
#include "json/shape.hpp"
#include "util/bytes.hpp"

namespace korvane::json {
namespace detail {
namespace {

namespace dom = simdjson::dom;

// Owned references to the member values of one shaped object, released on every path. Records
// have few fields: those stay on the stack.
class MemberValues {
public:
    explicit MemberValues(std::size_t count) : count_(count) {
        if (count_ > kInline) heap_ = std::make_unique<PyObject*[]>(count_);
        values_ = heap_ ? heap_.get() : inline_;
        std::fill_n(values_, count_, nullptr);
    }
    ~MemberValues() {
        for (std::size_t i = 0; i < count_; ++i) Py_XDECREF(values_[i]);
    }
    MemberValues(const MemberValues&) = delete;
    MemberValues& operator=(const MemberValues&) = delete;

    // Takes `value`; a repeated member replaces the earlier value, as in a dict.
    void set(std::size_t i, PyObject* value) { Py_XSETREF(values_[i], value); }
    PyObject* const* data() const { return values_; }

private:
    static constexpr std::size_t kInline = 32;
    std::size_t count_;
    PyObject* inline_[kInline];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** values_;
};

// The index of `key` among `count` known keys, or -1. Members usually come in declaration order,
// so the search starts where the last one matched.
std::ptrdiff_t find_key(const std::string* keys, std::size_t count, std::string_view key, std::size_t hint) {
    for (std::size_t step = 0, i = hint; step < count; ++step, ++i) {
        if (i >= count) i = 0;
        if (util::same_bytes(keys[i], key)) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

// Builds Python values from a decoded document. Every function returns a new reference, or
// nullptr when the document does not fit (a Python error may be set; the caller clears it).
class TapeWalker {
public:
    PyObject* shaped(dom::element element, const Shape& shape, std::size_t depth) {
        if (!shape.object) return plain(element, depth);
        const dom::element_type type = element.type();
        if (shape.array && type == dom::element_type::ARRAY) {
            const Shape item{shape.object, false};
            return list(element.get_array().value_unsafe(), depth + 1,
                        [&](dom::element e) { return shaped(e, item, depth + 1); });
        }
        if (!shape.array && type == dom::element_type::OBJECT) {
            return shaped_object(element.get_object().value_unsafe(), *shape.object, depth + 1);
        }
        return plain(element, depth);
    }

private:
    PyObject* plain(dom::element element, std::size_t depth) {
        switch (element.type()) {
            case dom::element_type::OBJECT: return object(element.get_object().value_unsafe(), depth + 1);
            case dom::element_type::ARRAY:
                return list(element.get_array().value_unsafe(), depth + 1,
                            [&](dom::element e) { return plain(e, depth + 1); });
            case dom::element_type::STRING: return utf8_text(element.get_string().value_unsafe());
            case dom::element_type::INT64: return PyLong_FromLongLong(element.get_int64().value_unsafe());
            case dom::element_type::UINT64: return PyLong_FromUnsignedLongLong(element.get_uint64().value_unsafe());
            case dom::element_type::DOUBLE: return PyFloat_FromDouble(element.get_double().value_unsafe());
            case dom::element_type::BOOL: return PyBool_FromLong(element.get_bool().value_unsafe());
            case dom::element_type::NULL_VALUE: Py_RETURN_NONE;
        }
        return nullptr;
    }

    // A list of the array's elements, each made by make(dom::element).
    template <typename Make>
    [[gnu::noinline]] PyObject* list(dom::array items, std::size_t depth, Make&& make) {
        if (depth_.too_deep(depth)) return nullptr;
        std::size_t count = items.size();
        if (count >= 0xFFFFFF) {  // the parser's count saturates there
            count = 0;
            for ([[maybe_unused]] dom::element item : items) ++count;
        }
        PyObject* made = PyList_New(static_cast<Py_ssize_t>(count));
        if (!made) return nullptr;
        Py_ssize_t i = 0;
        for (dom::element item : items) {
            PyObject* value = make(item);
            if (!value) {
                Py_DECREF(made);  // the unfilled places are NULL, which a list may hold
                return nullptr;
            }
            PyList_SET_ITEM(made, i++, value);
        }
        return made;
    }

    [[gnu::noinline]] PyObject* object(dom::object members, std::size_t depth) {
        if (depth_.too_deep(depth)) return nullptr;
        PyObject* dict = PyDict_New();
        if (!dict) return nullptr;
        KeyCache& names = key_cache();
        for (dom::key_value_pair member : members) {
            PyObject* name = names.get(member.key);
            PyObject* value = name ? plain(member.value, depth) : nullptr;
            // Setting an existing key keeps its place and takes the new value: last one wins.
            const bool stored = value && PyDict_SetItem(dict, name, value) == 0;
            Py_XDECREF(name);
            Py_XDECREF(value);
            if (!stored) {
                Py_DECREF(dict);
                return nullptr;
            }
        }
        return dict;
    }

    [[gnu::noinline]] PyObject* shaped_object(dom::object members, const ObjectShape& shape, std::size_t depth) {
        if (depth_.too_deep(depth)) return nullptr;
        // The shape's tables, taken once: the loop calls into Python, which the compiler cannot
        // see through. The memos are made on first use and never moved.
        const std::size_t count = shape.keys.size();
        const std::string* const keys = shape.keys.data();
        const Shape* const nested = shape.members.data();
        ValueMemo* const memos = shape.memos.get(count);
        if (!memos) return nullptr;
        MemberValues values(count);
        std::size_t hint = 0;
        for (dom::key_value_pair member : members) {
            const std::ptrdiff_t index = find_key(keys, count, member.key, hint);
            if (index < 0) continue;  // not known: the parser has checked it, nothing to build
            const auto i = static_cast<std::size_t>(index);
            PyObject* built = member_value(member.value, nested[i], memos[i], depth);
            if (!built) return nullptr;
            values.set(i, built);
            hint = i + 1;
        }
        return shape.finish(shape, values.data());
    }

    // A member's value: shaped when its shape says so, else plain, short strings and integers
    // shared through the member's memo.
    PyObject* member_value(dom::element value, const Shape& shape, ValueMemo& memo, std::size_t depth) {
        if (!shape.object) {
            switch (value.type()) {
                case dom::element_type::STRING: return memo_string(value.get_string().value_unsafe(), memo);
                case dom::element_type::INT64: return memo_integer(value.get_int64().value_unsafe(), memo);
                default: break;
            }
        }
        return shaped(value, shape, depth);
    }

    // Both hand out a new reference and keep one of their own in the memo (see MemoTable).
    static PyObject* memo_integer(std::int64_t integer, ValueMemo& memo) {
        if (memo.number && memo.integer == integer) return Py_NewRef(memo.number);
        PyObject* made = PyLong_FromLongLong(integer);
        if (made) {
            memo.integer = integer;
            Py_XSETREF(memo.number, Py_NewRef(made));
        }
        return made;
    }

    static PyObject* memo_string(std::string_view text, ValueMemo& memo) {
        constexpr std::size_t kMaxMemo = 64;
        if (memo.text && util::same_bytes(text, memo.bytes)) return Py_NewRef(memo.text);
        PyObject* made = utf8_text(text);
        if (made && text.size() <= kMaxMemo) {
            // The memo is emptied first, so a failed copy of the bytes leaves it empty, never
            // pairing them with another value; nothing may throw out of a walk (it holds raw
            // references).
            Py_CLEAR(memo.text);
            try {
                memo.bytes.assign(text);
                memo.text = Py_NewRef(made);
            } catch (const std::bad_alloc&) {
            }
        }
        return made;
    }

    DepthGuard depth_;
};

}  // namespace
}  // namespace detail

nb::object parse_shaped(std::string_view text, const Shape& shape) {
    // A byte order mark is left to the general path (the parser would skip it silently).
    if (detail::opens_with_byte_order_mark(text)) return {};
    detail::Lease ws;
    const std::string_view padded = ws->padded_copy(text);
    simdjson::dom::element root;
    if (ws->tape.parse(padded.data(), padded.size(), /*realloc_if_needed=*/false).get(root)) return {};
    const bool fits = shape.array ? root.is_array() : root.is_object();
    if (!fits) return {};
    detail::TapeWalker walker;
    PyObject* result = walker.shaped(root, shape, 0);
    if (!result) PyErr_Clear();
    return nb::steal(result);
}

}  // namespace korvane::json
