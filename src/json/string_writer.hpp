// Writing a Python str as a JSON string literal in UTF-8.
#pragma once
#include <nanobind/nanobind.h>

#include "json/sink.hpp"

namespace korvane::json::detail {

// Appends `str` (any str, subclasses included) quoted and escaped as json.dumps does with
// ensure_ascii=False: '"', '\\' and control characters escaped, everything else written as
// UTF-8, except lone surrogates, which UTF-8 cannot carry: they are written as \udxxx escapes.
void write_string(PyObject* str, Sink& out);

}  // namespace korvane::json::detail
