// The client core, the entry header for chat/ and admin/: the namespace classes the client builds,
// the seam every call goes through (seam.hpp, with the contract of what may be replaced) and the
// shape checks of decoded answers. Nothing here knows chat or administration.
#pragma once
#include <nanobind/nanobind.h>

#include "api/client/answer_shape.hpp"
#include "api/client/request_context.hpp"
#include "api/client/seam.hpp"

namespace korvane::api::engine {
class WholeCall;
}

namespace korvane::api {

namespace nb = nanobind;

// Python classes, set when the module is bound (by chat/ and admin/ for theirs); the client builds one
// of each namespace class per instance. Strong references kept for the process, as the classes are.
struct Classes {
    nb::handle client, chat, chat_completions, tenant_manager, feedback_manager, training_manager;
};
Classes& classes();

// A namespace class whose constructor stores the client as `_client`.
nb::object make_namespace_class(const char* module, const char* name, const char* doc,
                                const char* init_doc = "Store the owning client.");

// read(): the answer of `call` into its result, with the request named on the error when reading
// fails (add_reading_context), as errors raised while sending it are.
template <typename Read>
auto read_answer(nb::handle client, const Call& call, Read&& read) {
    try {
        return read();
    } catch (nb::python_error& failure) {
        add_reading_context(failure, client, nb::str(call.method), call.path);
        throw;
    }
}

// KorvaneClient, bound after the namespace classes it builds.
void bind_client(nb::module_& m);
void bind_requests(nb::module_& m, nb::handle client_class);  // its request methods (methods.cpp)
void bind_aio(nb::module_& m);                                // the asyncio client's bindings (aio.cpp)

// list_models() as one call of the call engine, for `driver`.
engine::WholeCall models_call(nb::handle client, Driver driver);

// KorvaneClient's settings from the constructor's arguments (environment and class constants as
// fallbacks), set on `self`; no session, no namespaces. with_settings_parameters(add) calls `add`
// with the constructor's parameters (nanobind argument specs), so every binding of it takes the same.
void configure(nb::handle self, nb::handle api_key, nb::handle api_url, nb::handle proxy_url, nb::handle timeout,
               nb::handle max_retries, nb::handle verify_ssl, nb::handle retry_on_busy, nb::handle backoff_base,
               nb::handle backoff_max, nb::handle retry_after_max, nb::handle hooks, nb::handle default_headers,
               nb::handle default_query, Driver driver);
template <typename Add>
void with_settings_parameters(Add&& add) {
    add(nb::arg("api_key") = nb::none(), nb::arg("api_url") = nb::none(), nb::arg("proxy_url") = nb::none(),
        nb::arg("timeout").none() = 60, nb::arg("max_retries").none() = 3, nb::arg("verify_ssl").none() = true,
        nb::kw_only(), nb::arg("retry_on_busy").none() = false, nb::arg("backoff_base").none() = 0.5,
        nb::arg("backoff_max").none() = 8.0, nb::arg("retry_after_max").none() = 60.0,
        nb::arg("hooks").none() = nb::none(), nb::arg("default_headers").none() = nb::none(),
        nb::arg("default_query").none() = nb::none());
}

}  // namespace korvane::api
