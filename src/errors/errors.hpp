// The SDK's error hierarchy (korvane_sdk.exceptions), usable from the rest of the C++ core.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::errors {

namespace nb = nanobind;

enum class Kind {
    Korvane,
    Authentication,
    RateLimit,
    InvalidRequest,
    NotFound,
    Server,
    Training,
    TrainingJobNotFound,
    TrainingData,
    Connection,
    Timeout,
};

// The Python class of an error kind (valid once the module is bound).
nb::handle type(Kind kind);

// Builds an error of `kind` the way a Python caller would: type(*args, **kwargs).
nb::object make(Kind kind, nb::tuple args, nb::dict kwargs = nb::dict());

// Raises an error object as the current Python exception and throws nb::python_error.
[[noreturn]] void raise(nb::handle error);

// BaseException.add_note() where Python has it (3.11 on); before, the same `__notes__` list it
// keeps, which callers and traceback printers of those versions can still read.
void add_note(nb::handle error, nb::handle note);

}  // namespace korvane::errors
