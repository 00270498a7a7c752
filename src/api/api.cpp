// Binds the API layer: the client and its namespaces, in the order their modules need them.
#include "api/api.hpp"

#include "bindings.hpp"
#include "util/pytype.hpp"

namespace korvane::api {

Classes& classes() {
    static Classes instance;
    return instance;
}

nb::object make_namespace_class(const char* module, const char* name, const char* doc, const char* init_doc) {
    nb::object cls = util::make_class(module, name, doc);
    util::add_method(
        cls, "__init__", [](nb::handle self, nb::handle client) { nb::setattr(self, "_client", client); },
        nb::arg("client"), init_doc);
    return cls;
}

void bind(nb::module_& m) {
    bind_chat(m);
    bind_tenants(m);
    bind_feedback(m);
    bind_training(m);
    bind_client(m);
}

}  // namespace korvane::api
