// The record engine and the records of korvane_sdk.models (placeholder until the engine lands).
#include "bindings.hpp"

namespace korvane::records {

void bind(nanobind::module_&) {}

}  // namespace korvane::records
