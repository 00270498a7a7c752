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

// record.model_dump(exclude_none=exclude_none) in Python mode.
nb::object dump(nb::handle record, bool exclude_none);

}  // namespace korvane::records
