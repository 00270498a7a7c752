// The korvane_sdk._core extension module: binds each subsystem in dependency order.
#include "bindings.hpp"

NB_MODULE(_core, m) {
    m.doc() = "Compiled core of korvane_sdk.";
    // The SDK's classes and their methods live as long as the interpreter; objects still alive at
    // exit (a client in a module global) are the interpreter's to drop, not leaks of the bindings.
    nanobind::set_leak_warnings(false);
    korvane::errors::bind(m);
    korvane::json::bind(m);
    korvane::http::bind(m);
    korvane::records::bind(m);
    korvane::api::bind(m);
}
