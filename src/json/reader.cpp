// Reads JSON text into Python objects with simdjson's on-demand parser, straight from the parse.
#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "json/decode_error.hpp"
#include "json/json.hpp"
#include "json/key_cache.hpp"
#include "json/reader.hpp"
#include "json/scalars.hpp"
#include "util/stack.hpp"

namespace korvane::json {
namespace {

namespace od = simdjson::ondemand;
using detail::Lease;
using detail::Reader;
using detail::TokenError;
using detail::Workspace;

// Digits before the exponent of a number token.
std::size_t mantissa_digits(std::string_view token) {
    std::size_t digits = 0;
    for (char c : token) {
        if (c >= '0' && c <= '9')
            ++digits;
        else if (c != '-' && c != '.')
            break;
    }
    return digits;
}

}  // namespace

namespace detail {

namespace {
// Parsing needs the GIL, which serialises every use of the shared workspace (a thread-local one
// costs a TLS lookup per parse from a shared library); without a GIL each thread has its own.
#ifdef Py_GIL_DISABLED
thread_local Workspace shared_workspace;
#else
Workspace shared_workspace;
#endif
}  // namespace

std::string_view Workspace::padded_copy(std::string_view text) {
    const std::size_t needed = text.size() + kPadding;
    if (buffer_capacity < needed) {
        buffer.reset();  // free the old one before asking for the bigger one
        buffer = std::make_unique_for_overwrite<char[]>(needed);
        buffer_capacity = needed;
    }
    std::memcpy(buffer.get(), text.data(), text.size());
    std::memset(buffer.get() + text.size(), 0, kPadding);
    return std::string_view(buffer.get(), text.size());
}

Lease::Lease() {
    if (shared_workspace.busy) {
        own_ = std::make_unique<Workspace>();
        workspace_ = own_.get();
    } else {
        workspace_ = &shared_workspace;
    }
    workspace_->busy = true;
}

Lease::~Lease() {
    for (PyObject* item : workspace_->stack) Py_DECREF(item);
    workspace_->stack.clear();
    workspace_->busy = false;
    if (!own_ && workspace_->oversized()) *workspace_ = Workspace();
}

PyObject* Reader::root() {
    od::json_type type = od::json_type::null;
    // A token the parser knows no type for (NaN, Infinity) is read as a lone scalar below.
    const bool typed = document_.type().get(type) == simdjson::SUCCESS;
    if (typed && (type == od::json_type::array || type == od::json_type::object)) {
        od::value top;
        if (auto code = document_.get_value().get(top)) {
            unclosed_root_ = code == simdjson::INCOMPLETE_ARRAY_OR_OBJECT;
            return fail(code);
        }
        PyObject* result = value(top, 0);
        if (!result) return nullptr;
        const char* rest = nullptr;
        if (document_.current_location().get(rest) != simdjson::OUT_OF_BOUNDS) {
            Py_DECREF(result);
            return fail("Extra data", rest);
        }
        return result;
    }
    // A lone scalar: its token runs to the next token or the end, so anything after it is extra.
    std::string_view token;
    if (auto code = document_.raw_json_token().get(token)) return fail(code);
    const char* token_end = token.data() + token.size();
    if (token_end != text_.data() + text_.size()) return fail("Extra data", token_end);
    return scalar(detail::trim_trailing_space(token));
}

PyObject* Reader::enclosed_root() {
    od::array enclosing;
    if (auto code = document_.get_array().get(enclosing)) return fail(code);
    const char* const end = text_.data() + text_.size();  // the added closing bracket
    for (auto item : enclosing) {
        od::value element;
        // get() is rvalue-qualified: the move is what lets it take the value out.
        if (auto code = std::move(item).get(element)) return fail(code);  // NOLINT(performance-move-const-arg)
        PyObject* result = value(element, 0);
        if (!result) return nullptr;
        const char* rest = nullptr;
        const bool more = document_.current_location().get(rest) == simdjson::SUCCESS;
        if (more && rest == end) return result;  // the text was one whole value after all
        Py_DECREF(result);
        if (more && rest >= text_.data() && rest < end) return fail("Extra data", rest);
        // The value took the added bracket as its own closing one: the text stops inside it,
        // right after an opening bracket ("[") or after a value.
        const char* last = end;
        while (last > text_.data() && detail::is_space(last[-1])) --last;
        return fail(last > text_.data() && last[-1] == '[' ? "Expecting value" : "Expecting ',' delimiter", end);
    }
    return fail("Expecting value", text_.data());
}

// Every value is consumed through the parser, not only read from its token: the parser steps
// over an unconsumed value without checking what follows it (a string followed by ':' would be
// taken for a key and the rest of the object skipped unchecked).
PyObject* Reader::value(od::value& value, std::size_t depth) {
    const std::string_view token = value.raw_json_token();
    // Text that ends where a value is due ("[1," or '{"a":') leaves the parser on its end
    // marker: the token then lies in the padding, whose bytes are not ours to read as JSON.
    const char* const end = text_.data() + text_.size();
    if (token.empty() || token.data() >= end) return fail("Expecting value", end);
    switch (token.front()) {
        case '{': return object(value, token.data(), depth + 1);
        case '[': return array(value, token.data(), depth + 1);
        case '"': return string(value, token);
        case 't':
        case 'f':
        case 'n': return literal(value, token);
        case 'N':
        case 'I': return scalar(detail::trim_trailing_space(token));
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': return number(value, token);
        default: return fail("Expecting value", token.data());
    }
}

PyObject* Reader::array(od::value& value, const char* start, std::size_t depth) {
    if (too_deep(depth)) return fail(detail::kNestingTooDeep, start);
    od::array items;
    if (auto code = value.get_array().get(items)) return fail(code);
    const std::size_t base = ws_.stack.size();
    for (auto item : items) {
        od::value element;
        // get() is rvalue-qualified: the move is what lets it take the value out.
        if (auto code = std::move(item).get(element)) return fail(code);  // NOLINT(performance-move-const-arg)
        PyObject* built = this->value(element, depth);
        if (!built) return nullptr;
        ws_.stack.push_back(built);  // owned by the stack from here on (Lease releases on failure)
    }
    const std::size_t count = ws_.stack.size() - base;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), ws_.stack[base + i]);
    ws_.stack.resize(base);
    return list;
}

PyObject* Reader::object(od::value& value, const char* start, std::size_t depth) {
    if (too_deep(depth)) return fail(detail::kNestingTooDeep, start);
    od::object members;
    if (auto code = value.get_object().get(members)) return fail(code);
    nb::object dict = nb::steal(PyDict_New());
    if (!dict.is_valid()) return nullptr;
    for (auto member : members) {
        od::field field;
        if (auto code = std::move(member).get(field)) return fail(code);
        nb::object name = nb::steal(key(field));
        if (!name.is_valid()) return nullptr;
        nb::object built = nb::steal(this->value(field.value(), depth));
        if (!built.is_valid()) return nullptr;
        // Setting an existing key keeps its place and takes the new value: last one wins.
        if (PyDict_SetItem(dict.ptr(), name.ptr(), built.ptr()) < 0) return nullptr;
    }
    return dict.release().ptr();
}

PyObject* Reader::number(od::value& value, std::string_view token) {
    // Not get_number(): in this simdjson release it yields 0.0 for floats with more than 19
    // significant digits. The typed getters parse those correctly.
    od::number_type type;
    if (value.get_number_type().get(type) == simdjson::SUCCESS) {
        switch (type) {
            case od::number_type::signed_integer: {
                std::int64_t integer;
                if (value.get_int64().get(integer) == simdjson::SUCCESS) return PyLong_FromLongLong(integer);
                break;
            }
            case od::number_type::unsigned_integer: {
                std::uint64_t integer;
                if (value.get_uint64().get(integer) == simdjson::SUCCESS) return PyLong_FromUnsignedLongLong(integer);
                break;
            }
            case od::number_type::floating_point_number: {
                // Its float parser also misreads some mantissas of more than 19 digits (such as
                // -0.1000000000000000055511151231257827): those take the exact slow path.
                double real;
                if (mantissa_digits(token) <= 19 && value.get_double().get(real) == simdjson::SUCCESS) {
                    return PyFloat_FromDouble(real);
                }
                break;
            }
            default:  // an integer beyond 64 bits (newer releases name it): the exact path below
                break;
        }
    }
    // Beyond 64-bit integers and the double range, -Infinity, or not a number at all. The parser
    // cannot consume it; stepping over a lone number token checks what follows, so that is safe.
    token = detail::trim_trailing_space(token);
    if (PyObject * constant; detail::non_finite(token, &constant)) return constant;
    TokenError error;
    PyObject* result = detail::decode_number(token, &error);
    return result ? result : fail(error, token.data());
}

PyObject* Reader::scalar(std::string_view token) {
    switch (token.front()) {
        case '"': return string(token);
        case 't':
            if (token == "true") Py_RETURN_TRUE;
            break;
        case 'f':
            if (token == "false") Py_RETURN_FALSE;
            break;
        case 'n':
            if (token == "null") Py_RETURN_NONE;
            break;
        case 'N':
        case 'I':
        case '-':
            if (PyObject * constant; detail::non_finite(token, &constant)) return constant;
            [[fallthrough]];
        default: {
            TokenError error;
            PyObject* result = detail::decode_number(token, &error);
            return result ? result : fail("Expecting value", token.data());
        }
    }
    return fail("Expecting value", token.data());
}

PyObject* Reader::string(od::value& value, std::string_view token) {
    od::raw_json_string consumed;
    if (auto code = value.get_raw_json_string().get(consumed)) return fail(code);
    return string(detail::trim_trailing_space(token));
}

PyObject* Reader::literal(od::value& value, std::string_view token) {
    bool flag = false;
    if (token.front() == 'n') {
        if (value.is_null().get(flag) != simdjson::SUCCESS || !flag) return fail("Expecting value", token.data());
        Py_RETURN_NONE;
    }
    if (value.get_bool().get(flag) != simdjson::SUCCESS) return fail("Expecting value", token.data());
    return PyBool_FromLong(flag);
}

// `token` is a whole string literal: the structural index ends it right after its closing quote.
PyObject* Reader::string(std::string_view token) {
    if (token.size() < 2 || token.back() != '"') return fail("Unterminated string starting at", token.data());
    TokenError error;
    PyObject* result = detail::decode_string(token.substr(1, token.size() - 2), ws_.scratch, &error);
    return result ? result : fail(error, token.data() + 1);
}

bool Reader::key_extent(od::field& field, std::string_view& bytes, bool& escaped) {
    // The parser knows where the key ends (its closing quote precedes the ':' the index holds).
    bytes = field.escaped_key();
    escaped = std::memchr(bytes.data(), '\\', bytes.size()) != nullptr;
    return true;
}

PyObject* Reader::key(od::field& field) {
    std::string_view bytes;
    bool escaped = false;
    if (!key_extent(field, bytes, escaped)) return nullptr;
    if (!escaped) return detail::key_cache().get(bytes);
    TokenError error;
    PyObject* result = detail::decode_string(bytes, ws_.scratch, &error);
    return result ? result : fail(error, bytes.data());
}

}  // namespace detail

namespace {

// Why and where the reader refused a text (`offset` a byte offset into `text`, the reader's copy).
// parse() turns it into the interpreter's own verdict on the text (see verdict_of_json_module()),
// so this message and place are what callers see only where json.loads gives up on the nesting.
struct Refusal {
    const char* message;
    std::string_view text;
    std::size_t offset;
};

[[noreturn]] void refuse(const char* message, std::string_view text, std::size_t offset) {
    throw Refusal{message, text, offset};
}

// The parser reports string faults found while indexing without a place. Finds the first control
// character inside a string, or else the opening quote of a string that never closes.
std::size_t locate_string_fault(std::string_view text) {
    bool in_string = false;
    std::size_t opened = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!in_string) {
            if (c == '"') in_string = true, opened = i;
        } else if (c == '\\') {
            ++i;
        } else if (c == '"') {
            in_string = false;
        } else if (c < 0x20) {
            return i;
        }
    }
    return in_string ? opened : 0;
}

[[noreturn]] void raise_index_error(simdjson::error_code code, std::string_view text, std::size_t first) {
    switch (code) {
        case simdjson::MEMALLOC: throw std::bad_alloc();
        case simdjson::UTF8_ERROR: refuse("Invalid UTF-8", text, detail::kFirstInvalidUtf8);
        case simdjson::UNESCAPED_CHARS: refuse("Invalid control character at", text, locate_string_fault(text));
        case simdjson::UNCLOSED_STRING: refuse("Unterminated string starting at", text, locate_string_fault(text));
        default: refuse(simdjson::error_message(code), text, first);
    }
}

// The parser refuses a root array or object whose last bracket does not close it, without saying
// where the text goes wrong. Read once more, enclosed in an added array that does pass that check,
// the walk finds the fault and its place as in any other text. Only broken text comes here.
nb::object read_enclosed(Workspace& ws, std::string_view text, std::size_t first) {
    const std::size_t size = text.size() + 2;
    auto buffer = std::make_unique_for_overwrite<char[]>(size + kPadding);
    buffer[0] = '[';
    std::memcpy(buffer.get() + 1, text.data(), text.size());
    buffer[size - 1] = ']';
    std::memset(buffer.get() + size, 0, kPadding);
    // Its own parser, one level deeper than the usual, so the added array costs the text no depth.
    od::parser parser;
    if (parser.allocate(size, kMaxDepth + 1)) throw std::bad_alloc();
    od::document document;
    if (auto code = parser.iterate(buffer.get(), size, size + kPadding).get(document)) {
        raise_index_error(code, text, first);
    }
    Reader reader(ws, document, std::string_view(buffer.get() + 1, text.size()));
    nb::object result = nb::steal(reader.enclosed_root());
    if (result.is_valid()) return result;
    if (PyErr_Occurred()) throw nb::python_error();
    refuse(reader.message() ? reader.message() : "Invalid JSON", text, reader.offset());
}

// `text_semantics`: the text stands for a str (json.loads(str) refuses a byte order mark), not
// for bytes (json.loads(bytes) skips one).
nb::object read(Workspace& ws, std::string_view text, bool text_semantics = false) {
    if (detail::opens_with_byte_order_mark(text)) {
        if (text_semantics) refuse(detail::kUnexpectedByteOrderMark, text, 0);
        text.remove_prefix(3);
    }
    // One mark is skipped, as the json module does; the parser would silently skip a second.
    if (detail::opens_with_byte_order_mark(text)) {
        refuse(detail::kUnexpectedByteOrderMark, text, 0);
    }
    std::size_t first = 0;
    while (first < text.size() && detail::is_space(text[first])) ++first;
    if (first == text.size()) refuse("Expecting value", text, text.size());

    // The GIL stays held: indexing is a small part of the work, and getting the GIL back from a
    // busy thread can take longer than the indexing itself.
    od::document document;
    const auto code = ws.parser.iterate(text.data(), text.size(), text.size() + kPadding).get(document);
    if (code) raise_index_error(code, text, first);
    Reader reader(ws, document, text);
    nb::object result = nb::steal(reader.root());
    if (result.is_valid()) return result;
    if (PyErr_Occurred()) throw nb::python_error();
    if (reader.unclosed_root()) return read_enclosed(ws, text, first);
    refuse(reader.message() ? reader.message() : "Invalid JSON", text, reader.offset());
}

// Deepest nesting of brackets outside strings in `text`, however broken the text is.
std::size_t nesting_of(std::string_view text) {
    std::size_t depth = 0, deepest = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// Whether json.loads may recurse through `text` on this thread: its recursion bound is a count
// (about 1,500 levels), not the thread's stack, which may be small (threading.stack_size).
bool json_module_fits_the_stack(std::string_view text) {
    constexpr std::uintptr_t kStackPerLevel = 1024;  // generous: a level takes a few hundred bytes
    const std::uintptr_t floor = util::stack_floor();
    if (!floor) return nesting_of(text) <= 64;
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here > floor && (here - floor) / kStackPerLevel > nesting_of(text);
}

// What the interpreter's json.loads makes of `source` (the text as the caller gave it) after the
// reader refused it: its exception (json.JSONDecodeError with json's own message and position,
// UnicodeDecodeError for bytes that are not UTF-8, ValueError for an integer beyond the digit
// limit) or, where it accepts what the reader does not (UTF-16 and UTF-32 bytes, surrogates
// encoded in UTF-8), its value. Runs on refused text only. Nesting beyond the reader's bound, or
// deeper than json.loads may recurse on this thread's stack, is refused with the reader's own
// message: json.loads would raise RecursionError there, or overflow a small stack.
nb::object verdict_of_json_module(nb::handle source, std::string_view original, const Refusal& refusal) {
    if (std::string_view(refusal.message) != detail::kNestingTooDeep && json_module_fits_the_stack(original)) {
        nb::object loads = nb::module_::import_("json").attr("loads");
        PyObject* value = PyObject_CallOneArg(loads.ptr(), source.ptr());
        if (value) return nb::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_RecursionError)) throw nb::python_error();
        PyErr_Clear();
    }
    // The parser's own texts ("TAPE_ERROR: ...") name its internals, not the caller's text.
    const std::string_view message(refusal.message);
    const bool internal = message.find(':') != std::string_view::npos &&
                          message.substr(0, message.find(':')).find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") ==
                              std::string_view::npos;
    detail::raise_decode_error(internal ? "Invalid JSON" : refusal.message, refusal.text, refusal.offset);
}

nb::object bytes_of(std::string_view text) {
    PyObject* bytes = PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!bytes) throw nb::python_error();
    return nb::steal(bytes);
}

}  // namespace

namespace {

// A body that is plainly not JSON (text, HTML, empty) is common where JSON was hoped for, and
// may be large: it is judged without the parser's padded copy and without a bytes copy for
// json.loads, which then only reads the one str that its exception keeps anyway. Only texts that
// json.loads reads as UTF-8 come here, and those whose first character (after one byte order mark
// and JSON whitespace) can open no JSON value: its verdict on them is "Expecting value" there (or a
// decode error, which the usual path gives in full).
std::optional<nb::object> verdict_without_copies(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    // json.loads would take these for UTF-16 or UTF-32 (a NUL among the first bytes, their marks).
    if (text.size() >= 2 && (byte(0) == 0 || byte(1) == 0 || byte(0) == 0xFE || byte(0) == 0xFF)) return std::nullopt;
    std::string_view rest = text;
    if (detail::opens_with_byte_order_mark(rest)) rest.remove_prefix(3);
    if (detail::opens_with_byte_order_mark(rest)) return std::nullopt;  // json.loads(str) words it otherwise
    std::size_t first = 0;
    while (first < rest.size() && detail::is_space(rest[first])) ++first;
    if (first < rest.size() && std::string_view("{[\"-0123456789tfnNI").find(rest[first]) != std::string_view::npos) {
        return std::nullopt;
    }
    nb::object str = nb::steal(
        PyUnicode_DecodeUTF8(rest.data(), static_cast<Py_ssize_t>(rest.size()), "surrogatepass"));
    if (!str.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    nb::object loads = nb::module_::import_("json").attr("loads");
    PyObject* value = PyObject_CallOneArg(loads.ptr(), str.ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

}  // namespace

nb::object parse(std::string_view text) {
    if (std::optional<nb::object> verdict = verdict_without_copies(text)) return *verdict;
    Lease ws;
    try {
        return read(*ws, ws->padded_copy(text));
    } catch (const Refusal& refusal) {
        return verdict_of_json_module(bytes_of(text), text, refusal);
    }
}

nb::object parse_text(std::string_view utf8, nb::handle source) {
    Lease ws;
    try {
        return read(*ws, ws->padded_copy(utf8), true);
    } catch (const Refusal& refusal) {
        if (source.is_valid()) return verdict_of_json_module(source, utf8, refusal);
        nb::object text = nb::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
        if (text.is_valid()) return verdict_of_json_module(text, utf8, refusal);
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
        PyErr_Clear();  // no text at all: judged as the bytes they are
        return verdict_of_json_module(bytes_of(utf8), utf8, refusal);
    }
}

nb::object parse_padded(std::string_view text) {
    // A number at the very end of a broken text ("[0,2") is scanned until a byte that cannot
    // continue it; only a NUL right after the text keeps that scan out of the padding.
    if (text.data()[text.size()] != '\0') return parse(text);
    Lease ws;
    try {
        return read(*ws, text);
    } catch (const Refusal& refusal) {
        return verdict_of_json_module(bytes_of(text), text, refusal);
    }
}

bool is_utf8(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

}  // namespace korvane::json
