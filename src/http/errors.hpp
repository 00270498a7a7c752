// The HTTP layer's transport exceptions (korvane_sdk.http), raised from C++.
//
//   OSError
//    └── RequestException
//         ├── ConnectionError
//         │    └── ConnectTimeout (also a Timeout)
//         ├── Timeout
//         │    ├── ConnectTimeout
//         │    └── ReadTimeout
//         ├── InvalidURL (also a ValueError)
//         ├── InvalidHeader (also a ValueError)
//         ├── ChunkedEncodingError
//         └── SessionClosedError
#pragma once
#include <nanobind/nanobind.h>

#include <string>

namespace korvane::http {

namespace nb = nanobind;

enum class ErrorKind {
    Request,
    Connection,
    Timeout,
    ConnectTimeout,
    ReadTimeout,
    InvalidURL,
    InvalidHeader,
    ChunkedEncoding,
    SessionClosed,
};

// A failure found while the GIL was released, raised once it is held again.
struct Failure {
    ErrorKind kind = ErrorKind::Request;
    std::string message;
    bool python_error = false;  // a Python exception (e.g. KeyboardInterrupt) is already set
};

// The Python class of a kind (valid once bind_errors has run).
nb::handle error_type(ErrorKind kind);

// Sets the exception of `kind` with `message` and throws nb::python_error.
[[noreturn]] void raise_error(ErrorKind kind, const std::string& message);
[[noreturn]] inline void raise_error(const Failure& failure) {
    if (failure.python_error) throw nb::python_error();
    raise_error(failure.kind, failure.message);
}

void bind_errors(nb::module_& m);

}  // namespace korvane::http
