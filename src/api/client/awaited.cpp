// The asyncio client's bindings (korvane_sdk.aio): its configuration and its calls, each the
// awaitable of one call of the call engine (the same engine the blocking methods drive).
#include "api/client/attempts.hpp"
#include "api/client/client.hpp"
#include "api/client/lifetime.hpp"
#include "api/client/plan.hpp"
#include "api/client/request_context.hpp"
#include "api/engine/awaitable.hpp"
#include "api/engine/engine.hpp"

namespace korvane::api {
namespace {

// The shared steps the awaited stream's attempt loop calls between its awaits (its own loop until
// streams go through an engine of their own).
void bind_stream_steps(nb::module_& m) {
    m.def(
        "_plan_request",
        [](nb::handle client, nb::handle path, nb::handle files) {
            RequestPlan planned = plan_request(client, path, files);
            return nb::make_tuple(planned.url, planned.headers);
        },
        nb::arg("client"), nb::arg("path"), nb::arg("files").none(),
        "(url, headers) that every attempt of one call sends.");
    m.def("_attempts_allowed", &attempts_allowed, nb::arg("client"), "The number of attempts of one call.");
    m.def(
        "_retry_on_busy", [](nb::handle client) { return busy_retry_of(client).enabled; }, nb::arg("client"),
        "Whether busy answers are repeated.");
    m.def(
        "_busy_pause",
        [](nb::handle client, nb::handle response, long repeat) -> nb::object {
            const BusyRetry policy = busy_retry_of(client);
            if (!policy.enabled || !is_busy(nb::cast<long>(nb::getattr(response, "status_code")))) return nb::none();
            return nb::float_(busy_pause(client, policy, response, repeat));
        },
        nb::arg("client"), nb::arg("response"), nb::arg("repeat"),
        "The pause before repeating a busy answer, or None when it is not repeated.");
    m.def(
        "_add_request_context",
        [](nb::handle error, nb::handle method, nb::handle url) { add_request_context(error, method, url); },
        nb::arg("error"), nb::arg("method"), nb::arg("url"), "Names the request on an SDK error raised for it.");
}

}  // namespace

void bind_awaited(nb::module_& m) {
    bind_stream_steps(m);
    with_settings_parameters([&](auto&&... parameters) {
        m.def(
            "_configure_client",
            [](nb::handle self, nb::handle api_key, nb::handle api_url, nb::handle proxy_url, nb::handle timeout,
               nb::handle max_retries, nb::handle verify_ssl, nb::handle retry_on_busy, nb::handle backoff_base,
               nb::handle backoff_max, nb::handle retry_after_max) {
                configure(self, api_key, api_url, proxy_url, timeout, max_retries, verify_ssl, retry_on_busy,
                          backoff_base, backoff_max, retry_after_max);
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
