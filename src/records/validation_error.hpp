// korvane_sdk.models.ValidationError: every problem of one validation, reported together.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::records {

namespace nb = nanobind;

// One problem as errors() reports it: {"type", "loc", "msg", "input"[, "ctx"]}.
nb::dict make_issue(const char* type, nb::handle loc, nb::handle msg, nb::handle input, nb::handle ctx = {});

// Raises ValidationError for the record called `title` with the list of problems.
[[noreturn]] void raise_validation_error(nb::handle title, nb::handle issues);

// Raises a ValidationError with one problem at the top level (loc ()).
[[noreturn]] void raise_single(nb::handle title, const char* type, nb::handle msg, nb::handle input,
                               nb::handle ctx = {});

// Creates the class and adds it to the module.
void bind_validation_error(nb::module_& m);

}  // namespace korvane::records
