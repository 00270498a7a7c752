// Decoding of single JSON tokens: string literals, numbers outside the fast path, literals.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane::json::detail {

// Why a token is not valid JSON, and where (byte offset from the token's start).
struct TokenError {
    const char* message = nullptr;
    std::size_t offset = 0;
};

// JSON whitespace: space, tab, line feed, carriage return.
inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline std::string_view trim_trailing_space(std::string_view token) {
    while (!token.empty() && is_space(token.back())) token.remove_suffix(1);
    return token;
}

// A new str from valid UTF-8 (no escapes left): short ASCII text is copied straight into it.
PyObject* utf8_text(std::string_view utf8);

// Decodes the body of a string literal (the text between its quotes, escapes not yet resolved,
// already valid UTF-8) into a new str. `scratch` is working memory reused between calls.
// Returns nullptr either with *error filled (bad escape) or with a Python error set.
PyObject* decode_string(std::string_view body, std::string& scratch, TokenError* error);

// Decodes a number token (trailing whitespace removed) the fast path could not take: integers
// beyond 64 bits, floats beyond the double range (to +-inf, as float() does). Returns nullptr
// with *error filled when the token is not a JSON number, or with a Python error set.
PyObject* decode_number(std::string_view token, TokenError* error);

// The json module's constants beyond the JSON grammar: true when `token` is exactly NaN, Infinity
// or -Infinity, with *value the float (as float() makes it) or nullptr and a Python error set.
bool non_finite(std::string_view token, PyObject** value);

// True when `token` is exactly one JSON number.
bool is_json_number(std::string_view token);

}  // namespace korvane::json::detail
