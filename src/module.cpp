// The korvane_sdk._core extension module: binds each subsystem in dependency order.
#include "bindings.hpp"
#include "util/lazy_names.hpp"

NB_MODULE(_core, m) {
    m.doc() = "Compiled core of korvane_sdk.";
    // The SDK's classes and their methods live as long as the interpreter; objects still alive at
    // exit (a client in a module global) are the interpreter's to drop, not leaks of the bindings.
    nanobind::set_leak_warnings(false);
    korvane::util::LazyNames::attach(m);
    korvane::errors::bind(m);
    korvane::json::bind(m);
    korvane::http::bind_errors(m);
    korvane::records::bind(m);
    // The HTTP layer and the client are bound when a program first asks for one of their names:
    // importing the records alone does not pay for them.
    korvane::util::LazyNames::defer([](nanobind::module_& part) {
        korvane::http::bind(part);
        korvane::api::bind(part);
    });
    korvane::util::LazyNames::install_hook();
}
