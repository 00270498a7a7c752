// korvane_sdk.http: the HTTP session the client owns (placeholder until the transport lands).
#include <nanobind/nanobind.h>

#include "bindings.hpp"

namespace korvane::http {

namespace nb = nanobind;

struct Session {
    nb::object verify = nb::bool_(true);
    bool closed = false;
};

void bind(nb::module_& m) {
    nb::class_<Session>(m, "Session", "A pool of connections with shared settings.")
        .def(nb::init<>())
        .def_rw("verify", &Session::verify, "Whether TLS certificates are verified.")
        .def("close", [](Session& s) { s.closed = true; }, "Release pooled connections.");
}

}  // namespace korvane::http
