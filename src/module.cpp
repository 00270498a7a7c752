// The korvane_sdk._core extension module: binds each subsystem in dependency order.
#include "bindings.hpp"

NB_MODULE(_core, m) {
    m.doc() = "Compiled core of korvane_sdk.";
    korvane::errors::bind(m);
    korvane::json::bind(m);
    korvane::http::bind(m);
    korvane::records::bind(m);
    korvane::api::bind(m);
}
