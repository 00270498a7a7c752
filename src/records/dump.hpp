// Turning records into plain mappings: model_dump in Python and JSON modes.
#pragma once
#include <nanobind/nanobind.h>

#include "records/schema.hpp"

namespace korvane::records {

namespace nb = nanobind;

enum class DumpMode { Python, Json };

struct DumpOptions {
    DumpMode mode = DumpMode::Python;
    bool exclude_none = false;  // leaves out the records' own null fields, not nulls inside free mappings
};

// One entry per field in declaration order; nested records become mappings, lists and mappings
// are new objects all the way down. JSON mode gives only JSON types: datetimes as ISO 8601 text,
// tuples and sets as lists, non-finite floats as None. Deep or cyclic values raise RecursionError.
nb::object dump_record(PyObject* record, const Schema& schema, const DumpOptions& options);

// The JSON form of a value json.dumps cannot write by itself, as model_dump(mode="json") gives it
// (a date-time as ISO 8601 text, a Decimal as text, a set as a list, an enum member as its value,
// a record as its mapping, ...); its str() for anything else. For json.dumps(default=...).
nb::object json_form_or_text(PyObject* value);

}  // namespace korvane::records
