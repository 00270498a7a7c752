// JSON text <-> Python objects, used by the HTTP layer and the records.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane::json {

namespace nb = nanobind;

// Readable bytes the reader needs after the end of the text it parses (SIMD loads run past it).
inline constexpr std::size_t kPadding = 64;

// Deepest nesting of arrays and objects the reader accepts; deeper text is a decode error.
inline constexpr std::size_t kMaxDepth = 1024;

// Decodes UTF-8 JSON text into Python objects: objects to dict (member order kept, duplicate
// keys: last wins), arrays to list, integers of any size to int, numbers with a fraction or
// exponent to float (exactly as float() reads them, so 1e400 is inf), strings to str (escaped
// lone surrogates kept, as the interpreter's json module does). A leading UTF-8 byte order mark
// is skipped. Raises json.JSONDecodeError for anything that is not exactly one JSON value: empty
// text, trailing data, invalid UTF-8, NaN/Infinity, nesting deeper than kMaxDepth or than the
// thread's stack allows. Needs the GIL and keeps it throughout. Copies the text into a reusable
// padded buffer first.
nb::object parse(std::string_view text);

// As parse(), without the copy when the byte right after the text is a NUL (as in a
// std::string): the caller guarantees kPadding readable bytes after text.data() + text.size();
// their content does not matter, but without that NUL the text is copied first.
nb::object parse_padded(std::string_view text);

// Appends the JSON text of `value` to `out`, as json.dumps(value, ensure_ascii=False,
// allow_nan=False, separators=(",", ":")) would write it, encoded in UTF-8, except that lone
// surrogates are written as \udXXX escapes so the output is always valid UTF-8. Accepts dicts and
// other mappings (keys str, or int/float/bool/None written as text), lists, tuples, str, int
// (subclasses such as IntEnum by their int value), float, bool, None. Raises TypeError for a value
// or key JSON cannot carry, ValueError for NaN and infinities and for circular structures,
// RecursionError for nesting deeper than kMaxDepth or than the interpreter or the thread's stack
// allow. Needs the GIL. On an exception `out` holds a partial text.
void write(nb::handle value, std::string& out);

inline std::string dumps(nb::handle value) {
    std::string out;
    write(value, out);
    return out;
}

}  // namespace korvane::json
