// The shared pieces of a call as the awaited driver (korvane_sdk.aio) reaches them: the same plan,
// retry rule, failure mapping, error context and log lines as the blocking driver (blocking.cpp),
// each a step that a coroutine calls between its awaits. Only the waiting is the driver's own.
#include <chrono>
#include <cstdint>

#include "api/client/attempts.hpp"
#include "api/client/client.hpp"
#include "api/client/plan.hpp"
#include "api/client/request_context.hpp"
#include "api/client/request_log.hpp"
#include "util/python_compat.hpp"

namespace korvane::api {
namespace {

constexpr int kDebug = 10;  // logging.DEBUG

nb::tuple plan(nb::handle client, nb::handle path, nb::handle files) {
    RequestPlan planned = plan_request(client, path, files);
    return nb::make_tuple(planned.url, planned.headers);
}

// The pause before repeat number `repeat` after `response`, or None when the answer is not to be
// repeated (busy repeating off, or not a busy status).
nb::object busy_pause_of(nb::handle client, nb::handle response, long repeat) {
    const BusyRetry policy = busy_retry_of(client);
    if (!policy.enabled || !is_busy(nb::cast<long>(nb::getattr(response, "status_code")))) return nb::none();
    return nb::float_(busy_pause(client, policy, response, repeat));
}

// (the SDK error, its kind as log lines name it) for a failed attempt's exception, or None when the
// failure is not the transport's.
nb::object transport_error_of(nb::handle failure, nb::handle timeout) {
    PyErr_SetRaisedException(nb::borrow(failure).release().ptr());
    nb::python_error caught;  // takes the exception just set
    nb::object error = transport_error(caught, timeout);
    if (!error.is_valid()) return nb::none();
    nb::str kind = nb::str(nb::type_name(error.type()));
    return nb::make_tuple(error, kind);
}

// The logger when a debug line per attempt would be emitted, else None.
nb::object attempt_logger() {
    nb::handle logger = request_log::enabled(kDebug);
    return logger.is_valid() ? nb::borrow(logger) : nb::none();
}

void log_attempt_since(nb::handle logger, nb::handle method, nb::handle url, nb::handle outcome,
                       std::int64_t started_ns, long attempt, long attempts) {
    const std::chrono::steady_clock::time_point started{std::chrono::nanoseconds(started_ns)};
    log_attempt(logger, method, url, outcome, started, attempt, attempts);
}

}  // namespace

void bind_awaited(nb::module_& m) {
    m.def("_plan_request", &plan, nb::arg("client"), nb::arg("path"), nb::arg("files").none(),
          "(url, headers) that every attempt of one call sends.");
    m.def("_attempts_allowed", &attempts_allowed, nb::arg("client"), "The number of attempts of one call.");
    m.def(
        "_retry_on_busy", [](nb::handle client) { return busy_retry_of(client).enabled; }, nb::arg("client"),
        "Whether busy answers are repeated.");
    m.def("_busy_pause", &busy_pause_of, nb::arg("client"), nb::arg("response"), nb::arg("repeat"),
          "The pause before repeating a busy answer, or None when it is not repeated.");
    m.def("_transport_error", &transport_error_of, nb::arg("failure"), nb::arg("timeout").none(),
          "(SDK error, its kind for log lines) for a failed attempt, or None when the failure is not the transport's.");
    m.def(
        "_add_request_context",
        [](nb::handle error, nb::handle method, nb::handle url) { add_request_context(error, method, url); },
        nb::arg("error"), nb::arg("method"), nb::arg("url"), "Names the request on an SDK error raised for it.");
    m.def("_attempt_logger", &attempt_logger, "The logger when attempts are logged, else None.");
    m.def("_log_attempt", &log_attempt_since, nb::arg("logger"), nb::arg("method"), nb::arg("url"), nb::arg("outcome"),
          nb::arg("started_ns"), nb::arg("attempt"), nb::arg("attempts"),
          "The debug line of one attempt; started_ns is time.monotonic_ns() when it began.");
    m.def("_log_repeat", &log_repeat, nb::arg("method"), nb::arg("url"), nb::arg("reason"), nb::arg("attempt"),
          nb::arg("attempts"), nb::arg("pause"), "The warning before a repeat.");
}

}  // namespace korvane::api
