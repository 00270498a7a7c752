// Shaped reading: objects of a known layout go to their finish function as an array of member
// values, never through a dict; everything else is read as the plain reader reads it.
#include <algorithm>
#include <cstring>
#include <memory>

#include "json/reader.hpp"

namespace korvane::json {

using detail::Lease;
using detail::Reader;
namespace od = simdjson::ondemand;

namespace detail {
namespace {

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

// The index of `key` among the shape's keys, or -1. Members usually come in declaration order,
// so the search starts where the last one matched.
std::ptrdiff_t find_key(const ObjectShape& shape, std::string_view key, std::size_t hint) {
    const std::size_t count = shape.keys.size();
    for (std::size_t step = 0; step < count; ++step) {
        std::size_t i = hint + step;
        if (i >= count) i -= count;
        const std::string& known = shape.keys[i];
        if (known.size() == key.size() && std::memcmp(known.data(), key.data(), key.size()) == 0) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

}  // namespace

PyObject* Reader::shaped_root(const Shape& shape) {
    od::json_type type;
    if (document_.type().get(type)) return nullptr;
    const bool fits = shape.array ? type == od::json_type::array : type == od::json_type::object;
    if (!fits) return nullptr;
    od::value top;
    if (document_.get_value().get(top)) return nullptr;
    PyObject* result = shaped(top, shape, 0);
    if (!result) return nullptr;
    const char* rest = nullptr;
    if (document_.current_location().get(rest) != simdjson::OUT_OF_BOUNDS) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

PyObject* Reader::shaped(od::value& value, const Shape& shape, std::size_t depth) {
    if (!shape.object) return this->value(value, depth);
    const std::string_view token = value.raw_json_token();
    const char* const end = text_.data() + text_.size();
    if (token.empty() || token.data() >= end) return fail("Expecting value", end);
    if (shape.array && token.front() == '[') return shaped_array(value, *shape.object, token.data(), depth + 1);
    if (!shape.array && token.front() == '{') return shaped_object(value, *shape.object, token.data(), depth + 1);
    return this->value(value, depth);
}

PyObject* Reader::shaped_array(od::value& value, const ObjectShape& shape, const char* start, std::size_t depth) {
    const Shape element{&shape, false};
    return list_of(value, start, depth, [&](od::value& item) { return shaped(item, element, depth); });
}

PyObject* Reader::shaped_object(od::value& value, const ObjectShape& shape, const char* start, std::size_t depth) {
    if (too_deep(depth)) return fail("Nesting too deep", start);
    od::object members;
    if (auto code = value.get_object().get(members)) return fail(code);
    MemberValues values(shape.keys.size());
    std::size_t hint = 0;
    for (auto member : members) {
        od::field field;
        if (auto code = std::move(member).get(field)) return fail(code);
        std::string_view name;
        if (!key_bytes(field, name)) return nullptr;
        const std::ptrdiff_t index = find_key(shape, name, hint);
        if (index < 0) {
            // Not known: still read through, so the text after it is checked as JSON.
            PyObject* dropped = this->value(field.value(), depth);
            if (!dropped) return nullptr;
            Py_DECREF(dropped);
            continue;
        }
        const auto i = static_cast<std::size_t>(index);
        PyObject* built = member_value(field.value(), shape, i, depth);
        if (!built) return nullptr;
        values.set(i, built);
        hint = i + 1;
    }
    PyObject* made = shape.finish(shape, values.data());
    if (!made) {
        PyErr_Clear();
        return fail("The object does not fit its shape", start);
    }
    return made;
}

PyObject* Reader::member_value(od::value& value, const ObjectShape& shape, std::size_t index, std::size_t depth) {
    if (shape.members[index].object) return shaped(value, shape.members[index], depth);
    const std::string_view token = value.raw_json_token();
    if (token.empty() || token.data() >= text_.data() + text_.size()) return this->value(value, depth);
    const char first = token.front();
    const bool text = first == '"', integer = first == '-' || (first >= '0' && first <= '9');
    if (!text && !integer) return this->value(value, depth);
    if (shape.memos.size() != shape.keys.size()) shape.memos.resize(shape.keys.size());
    ValueMemo& memo = shape.memos[index];
    return text ? memo_string(value, trim_trailing_space(token), memo) : memo_integer(value, token, memo);
}

PyObject* Reader::memo_integer(od::value& value, std::string_view token, ValueMemo& memo) {
    od::number_type type;
    std::int64_t integer = 0;
    if (value.get_number_type().get(type) != simdjson::SUCCESS || type != od::number_type::signed_integer ||
        value.get_int64().get(integer) != simdjson::SUCCESS) {
        return number(value, token);  // not consumed yet: the general path reads it
    }
    if (memo.number && memo.integer == integer) return Py_NewRef(memo.number);
    PyObject* made = PyLong_FromLongLong(integer);
    if (made) {
        memo.integer = integer;
        Py_XSETREF(memo.number, Py_NewRef(made));
    }
    return made;
}

PyObject* Reader::memo_string(od::value& value, std::string_view token, ValueMemo& memo) {
    constexpr std::size_t kMaxMemo = 64;
    od::raw_json_string consumed;
    if (auto code = value.get_raw_json_string().get(consumed)) return fail(code);
    if (token.size() < 2 || token.back() != '"') return string(token);  // reports the fault
    const std::string_view body = token.substr(1, token.size() - 2);
    if (memo.text && body == memo.bytes) return Py_NewRef(memo.text);
    PyObject* made = string(token);
    if (made && body.size() <= kMaxMemo && body.find('\\') == std::string_view::npos) {
        memo.bytes.assign(body);
        Py_XSETREF(memo.text, Py_NewRef(made));
    }
    return made;
}

// The key's bytes as the text has them when it holds no escape, else unescaped into scratch.
bool Reader::key_bytes(od::field& field, std::string_view& out) {
    bool escaped = false;
    if (!key_extent(field, out, escaped)) return false;
    if (!escaped) return true;
    // Rare: decode to a str and take its UTF-8 (lone surrogates cannot match a known key).
    TokenError error;
    nb::object text = nb::steal(decode_string(out, ws_.scratch, &error));
    if (!text.is_valid()) return fail(error, out.data()), false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) {
        PyErr_Clear();
        out = {};  // lone surrogates: matches no known key (none is empty)
        return true;
    }
    ws_.scratch.assign(utf8, static_cast<std::size_t>(size));
    out = ws_.scratch;
    return true;
}

}  // namespace detail

nb::object parse_shaped(std::string_view text, const Shape& shape) {
    // A byte order mark is left to the general path (newer parser releases would skip it here).
    if (detail::opens_with_byte_order_mark(text)) return {};
    Lease ws;
    const std::string_view padded = ws->padded_copy(text);
    od::document document;
    if (ws->parser.iterate(padded.data(), padded.size(), padded.size() + kPadding).get(document)) return {};
    Reader reader(*ws, document, padded);
    PyObject* result = reader.shaped_root(shape);
    if (!result) PyErr_Clear();
    return nb::steal(result);
}

}  // namespace korvane::json
