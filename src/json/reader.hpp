// The reader's internals: the per-parse workspace (shared with the shaped reader,
// shaped_reader.cpp), the nesting guard, and the document walker of the plain reader.
#pragma once
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json/json.hpp"
#include "json/scalars.hpp"
#include "util/stack.hpp"

namespace korvane::json::detail {

namespace od = simdjson::ondemand;

static_assert(kPadding >= simdjson::SIMDJSON_PADDING);

// The reader's refusal of nesting deeper than it reads.
inline constexpr const char* kNestingTooDeep = "Nesting too deep";

// A UTF-8 byte order mark opens `text`.
inline bool opens_with_byte_order_mark(std::string_view text) {
    return text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF";
}

// A workspace that grew past this for one big answer is released after use, not kept.
constexpr std::size_t kKeepCapacity = std::size_t{8} << 20;
// The same for the whole-document parser, which needs about 14 bytes per byte of text (tape,
// index, strings) where the on-demand one needs about 6.
constexpr std::size_t kKeepTapeCapacity = std::size_t{1} << 20;

// What one parse needs: the parser's index buffers, the padded copy of the text, scratch for
// unescaping, and the stack of finished values of the arrays under construction. Reused by the
// thread's next parse so a stream of small answers allocates nothing but the Python objects.
struct Workspace {
    od::parser parser;
    simdjson::dom::parser tape;  // the shaped reader's: whole documents decoded at once
    std::unique_ptr<char[]> buffer;
    std::size_t buffer_capacity = 0;
    std::string scratch;
    std::vector<PyObject*> stack;  // owned references while a parse runs, empty between parses
    bool busy = false;

    // `text` copied into `buffer` with kPadding zero bytes after it.
    std::string_view padded_copy(std::string_view text);

    bool oversized() const {
        return buffer_capacity > kKeepCapacity || parser.capacity() > kKeepCapacity ||
               tape.capacity() > kKeepTapeCapacity || scratch.capacity() > kKeepCapacity ||
               stack.capacity() * sizeof(PyObject*) > kKeepCapacity;
    }
};

// The shared workspace, or a private one when it is in use (a finalizer run by the collector in
// the middle of a parse may parse again).
class Lease {
public:
    Lease();
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    Workspace& operator*() const { return *workspace_; }
    Workspace* operator->() const { return workspace_; }

private:
    std::unique_ptr<Workspace> own_;
    Workspace* workspace_;
};

// Bounds recursion over nested input: deeper than kMaxDepth, or closer to the end of the
// thread's stack than its reserve. Shallow levels never ask for the thread's stack bounds (a TLS
// lookup).
class DepthGuard {
public:
    bool too_deep(std::size_t depth) {
        if (depth <= kUncheckedDepth) return false;
        if (!stack_floor_) stack_floor_ = util::stack_floor();
        return depth > kMaxDepth || util::below_stack_floor(stack_floor_);
    }

private:
    static constexpr std::size_t kUncheckedDepth = 8;
    std::uintptr_t stack_floor_ = 0;  // found at the first deep level
};

// Walks one document depth-first, building each value as soon as its token is read. Fallible
// steps return nullptr and leave either a Python error or a decode failure (message and place)
// behind; the caller turns the latter into json.JSONDecodeError.
class Reader {
public:
    Reader(Workspace& workspace, od::document& document, std::string_view text)
        : ws_(workspace), document_(document), text_(text) {}

    PyObject* root();
    // The text read again as the one element of an added array (see read_enclosed()).
    PyObject* enclosed_root();
    // The parser refused the root container unseen: its first bracket is not closed by the last.
    bool unclosed_root() const { return unclosed_root_; }

    const char* message() const { return message_; }
    // Byte offset of the failure in the text (the document's position when not known exactly).
    std::size_t offset() {
        const char* where = where_;
        if (!where && document_.current_location().get(where) != simdjson::SUCCESS) return text_.size();
        if (where < text_.data() || where > text_.data() + text_.size()) return text_.size();
        return static_cast<std::size_t>(where - text_.data());
    }

private:
    // The recursion runs through value(), array() and object(); everything else stays out of
    // line so each level of nesting costs little stack.
    PyObject* value(od::value& value, std::size_t depth);
    [[gnu::noinline]] PyObject* array(od::value& value, const char* start, std::size_t depth);
    [[gnu::noinline]] PyObject* object(od::value& value, const char* start, std::size_t depth);
    [[gnu::noinline]] PyObject* number(od::value& value, std::string_view token);
    [[gnu::noinline]] PyObject* scalar(std::string_view token);
    [[gnu::noinline]] PyObject* string(od::value& value, std::string_view token);
    PyObject* string(std::string_view token);
    [[gnu::noinline]] PyObject* literal(od::value& value, std::string_view token);
    [[gnu::noinline]] PyObject* key(od::field& field);
    // The raw bytes of a key up to its closing quote, and whether they hold escapes.
    bool key_extent(od::field& field, std::string_view& bytes, bool& escaped);
    bool too_deep(std::size_t depth) { return depth_.too_deep(depth); }

    PyObject* fail(const char* message, const char* where = nullptr) {
        message_ = message;
        where_ = where;
        return nullptr;
    }
    PyObject* fail(simdjson::error_code code) { return fail(simdjson::error_message(code)); }
    PyObject* fail(const TokenError& error, const char* token) {
        return error.message ? fail(error.message, token + error.offset) : nullptr;
    }

    Workspace& ws_;
    od::document& document_;
    std::string_view text_;
    DepthGuard depth_;
    const char* message_ = nullptr;
    const char* where_ = nullptr;
    bool unclosed_root_ = false;
};

}  // namespace korvane::json::detail
