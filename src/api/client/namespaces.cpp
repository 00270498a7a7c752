// The registry of namespace classes the client builds, and the plain class each namespace is.
#include "api/client/client.hpp"
#include "api/client/lifetime.hpp"
#include "py/types.hpp"

namespace korvane::api {

Classes& classes() {
    static Classes instance;
    return instance;
}

nb::object make_namespace_class(const char* module, const char* name, const char* doc, const char* init_doc) {
    nb::object cls = py::make_class(module, name, doc);
    add_client_property(cls);  // weak while the client holds it (lifetime.hpp)
    py::add_method(
        cls, "__init__", [](nb::handle self, nb::handle client) { nb::setattr(self, "_client", client); },
        nb::arg("client"), init_doc);
    return cls;
}

}  // namespace korvane::api
