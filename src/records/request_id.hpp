// The request id a record carries when a call returned it: kept beside the record, not in it.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::records {

namespace nb = nanobind;

// The id noted for `record` (borrowed), or None: what its `_request_id` gives.
// (note_request_id() and is_record() are in records.hpp.)
PyObject* request_id_of(PyObject* record);

}  // namespace korvane::records
