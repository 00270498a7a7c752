// JSON text <-> Python objects, used by the HTTP layer and the records.
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace korvane::json {

namespace nb = nanobind;

// Decodes JSON text into Python objects: objects to dict (member order kept, duplicate keys:
// last wins), arrays to list, integers of any size to int, numbers with a fraction or exponent to
// float. Raises json.JSONDecodeError for anything that is not one JSON value (empty text included).
nb::object parse(std::string_view text);

// Appends the JSON text of `value` to `out`, as json.dumps would write it (UTF-8, no spaces):
// dict (str keys; int/float/bool/None keys written as text), list, tuple, str, int, float, bool,
// None. Raises TypeError naming the type of a value that JSON cannot carry, ValueError for NaN and
// infinities, RecursionError-like ValueError for nesting deeper than the interpreter allows.
void write(nb::handle value, std::string& out);

inline std::string dumps(nb::handle value) {
    std::string out;
    write(value, out);
    return out;
}

}  // namespace korvane::json
