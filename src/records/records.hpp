// What the rest of the core uses of the record engine.
#pragma once
#include <nanobind/nanobind.h>

#include <string_view>

#include "records/record_id.hpp"

namespace korvane::records {

namespace nb = nanobind;

// The record class of that name in korvane_sdk.models ("Tenant", "ChatMessage", ...).
nb::handle record_class(std::string_view name);
inline nb::handle record_class(Record id) { return record_class(record_name(id)); }

// Builds a record of class `cls` from the members of `mapping`, each member going to the field
// of the same name (unknown members dropped). Raises the records' ValidationError.
nb::object from_mapping(nb::handle cls, nb::handle mapping);

// Whether `value` is a record (of a record class or a subclass of one).
bool is_record(nb::handle value);

// Notes `id` (a str) as the request id of `record`, the record a call returns; its `_request_id`
// gives it from then on (a later note replaces it). Only the call engine notes ids: nested records,
// a list's members and copies carry none, and records keep no room for one.
void note_request_id(nb::handle record, nb::handle id);

// record.model_dump(exclude_none=exclude_none) in Python mode.
nb::object dump(nb::handle record, bool exclude_none);

}  // namespace korvane::records
