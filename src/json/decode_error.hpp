// Raising json.JSONDecodeError for text the reader refuses.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>
#include <string_view>

namespace korvane::json::detail {

// The json module's message for a byte order mark it does not skip (a str's, or a second one).
inline constexpr const char* kUnexpectedByteOrderMark = "Unexpected UTF-8 BOM (decode using utf-8-sig)";

// Offset meaning "where the first invalid UTF-8 sequence starts".
inline constexpr std::size_t kFirstInvalidUtf8 = static_cast<std::size_t>(-1);

// Sets json.JSONDecodeError(message, doc, pos) and throws nb::python_error. `doc` is the text
// decoded as UTF-8 (invalid bytes replaced) and `pos` the character index of byte `offset`.
// The json module is imported here, on the error path only.
[[noreturn]] void raise_decode_error(const char* message, std::string_view text, std::size_t offset);

// Same for a text the caller already holds as a str; `pos` is a character index.
[[noreturn]] void raise_decode_error(const char* message, PyObject* doc, std::size_t pos);

}  // namespace korvane::json::detail
