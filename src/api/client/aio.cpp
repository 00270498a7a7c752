// The asyncio client's bindings (korvane_sdk.aio): its configuration and its calls, each the
// awaitable of one call of the call engine (the same engine the blocking methods drive).
#include "api/client/client.hpp"
#include "api/client/lifetime.hpp"
#include "api/engine/awaitable.hpp"
#include "api/engine/engine.hpp"

namespace korvane::api {
void bind_aio(nb::module_& m) {
    with_settings_parameters([&](auto&&... parameters) {
        m.def(
            "_configure_client",
            [](nb::handle self, nb::handle api_key, nb::handle api_url, nb::handle proxy_url, nb::handle timeout,
               nb::handle max_retries, nb::handle verify_ssl, nb::handle retry_on_busy, nb::handle backoff_base,
               nb::handle backoff_max, nb::handle retry_after_max, nb::handle hooks, nb::handle default_headers,
               nb::handle default_query) {
                configure(self, api_key, api_url, proxy_url, timeout, max_retries, verify_ssl, retry_on_busy,
                          backoff_base, backoff_max, retry_after_max, hooks, default_headers, default_query,
                          Driver::awaited);
            },
            nb::arg("self"), parameters...,
            "Sets the client's settings from the constructor's arguments, as KorvaneClient reads them.");
    });
    m.def(
        "_awaited_request",
        [](nb::handle client, nb::handle method, nb::handle path, nb::handle params, nb::handle json, nb::handle files,
           nb::handle raw_response) {
            return engine::make_awaitable(engine::WholeCall::request_entry(client, Driver::awaited, method, path,
                                                                           params, json, files, raw_response));
        },
        nb::arg("client"), nb::arg("method"), nb::arg("path"), nb::arg("params").none() = nb::none(),
        nb::arg("json").none() = nb::none(), nb::arg("files").none() = nb::none(),
        nb::arg("raw_response").none() = false, "The awaitable of the client's own _request.");
    m.def(
        "_awaited_models",
        [](nb::handle client) { return engine::make_awaitable(models_call(client, Driver::awaited)); },
        nb::arg("client"), "The awaitable of list_models().");
    // The client's lifetime rules (lifetime.hpp), as the asyncio client's construction and close() use them.
    m.def("_add_client_property", &add_client_property, nb::arg("cls"),
          "Give a namespace class its `_client` property.");
    m.def("_link_namespaces", &link_namespaces, nb::arg("client"),
          "Make the namespaces the client built hold it weakly.");
    m.def("_adopt_session", &adopt_session, nb::arg("client"), nb::arg("session"), "Make `session` the client's own.");
    m.def("_leave_session", &leave_session, nb::arg("client"),
          "The client stops using its session: whether it was the last user, so the session is to close.");
    m.def(
        "_remember_awaited_client", [](nb::handle cls) { remember_own_methods(cls, Driver::awaited); }, nb::arg("cls"),
        "Records the asyncio client class's own seams, to tell them from replacements.");
}

}  // namespace korvane::api
