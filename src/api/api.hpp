// Shared declarations of the API layer: the client class and its namespace classes.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api {

namespace nb = nanobind;

// Python classes, set when the module is bound; each namespace class is built with the client.
struct Classes {
    nb::handle client, chat, chat_completions, tenant_manager, feedback_manager, training_manager;
};
Classes& classes();

// Each file adds its class to the module.
void bind_client(nb::module_& m);
void bind_requests(nb::module_& m, nb::handle client_class);  // the client's request methods
void bind_chat(nb::module_& m);
void bind_tenants(nb::module_& m);
void bind_feedback(nb::module_& m);
void bind_training(nb::module_& m);

// A namespace class whose constructor stores the client as `_client`.
nb::object make_namespace_class(const char* module, const char* name, const char* doc,
                                const char* init_doc = "Store the owning client.");

}  // namespace korvane::api
