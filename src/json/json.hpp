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

// Decodes JSON text (bytes) into Python objects exactly as the interpreter's json.loads does:
// objects to dict (member order kept, duplicate keys: last wins), arrays to list, integers of any
// size to int, numbers with a fraction or exponent to float (exactly as float() reads them, so
// 1e400 is inf), NaN, Infinity and -Infinity to those floats, strings to str (escaped lone
// surrogates kept). A leading UTF-8 byte order mark is skipped. What the reader refuses is handed
// to json.loads, so a refusal is json.loads's own: json.JSONDecodeError with its message and
// position, UnicodeDecodeError for bytes that are not UTF-8 (UTF-16 and UTF-32 texts, which
// json.loads detects, are read by it). Only nesting deeper than kMaxDepth or than the thread's
// stack allows is refused with json.JSONDecodeError("Nesting too deep") where json.loads would
// raise RecursionError. Needs the GIL and keeps it throughout. Copies the text into a reusable
// padded buffer first.
nb::object parse(std::string_view text);

// As parse() for text that stands for a str: `source`, or when not given the str `utf8` decodes
// to. A refusal is json.loads(that str)'s, and a leading byte order mark is refused as
// json.loads(str) refuses it (bytes that are not UTF-8: as parse()).
nb::object parse_text(std::string_view utf8, nb::handle source = nb::handle());

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

// Whether `text` is valid UTF-8 (the reader's own SIMD check), for callers that hold bytes they must
// refuse unless they are text.
bool is_utf8(std::string_view text);

inline std::string dumps(nb::handle value) {
    std::string out;
    write(value, out);
    return out;
}

}  // namespace korvane::json
