// The retry rule, shared by every driver: how many attempts a call has, which failures and answers
// are repeated, and how long to pause first. A driver only carries out the waiting it decides.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>

namespace korvane::api {

namespace nb = nanobind;

// The number of attempts (client.max_retries); a count below one would send nothing and report
// nothing, so it is a KorvaneError(INVALID_CONFIGURATION).
long attempts_allowed(nb::handle client);

// Opt-in repeating of busy answers. Off by default: then only transport failures are repeated, at
// once. With the client's `retry_on_busy` true, answers 408, 409, 429 and 5xx are sent again too
// (within `max_retries` attempts in all), after a pause: the answer's Retry-After (capped at
// `retry_after_max`) when it has one, else exponential backoff with full jitter,
// random() * min(backoff_max, backoff_base * 2**n).
struct BusyRetry {
    bool enabled = false;
    double base = 0.5;
    double cap = 8.0;
    double retry_after_cap = 60.0;
};
BusyRetry busy_retry_of(nb::handle client);
bool is_busy(long status);

// The pause before repeat number `repeat` (0 for the first) after the busy `response`; the jitter
// comes from client._random when set, else random.random.
double busy_pause(nb::handle client, const BusyRetry& policy, nb::handle response, long repeat);

// The module whose Timeout, HTTPConnectionError and RequestException are the transport's failures
// (looked up at the first failure); set when the client is bound.
void remember_transport_module(nb::handle module);

// The SDK error that one failed attempt records (TimeoutError, ConnectionError, KorvaneError), or an
// invalid object when the failure is not the transport's (it then goes on unchanged).
nb::object transport_error(const nb::python_error& failure, nb::handle timeout);

// The "korvane_sdk" logger's lines about attempts: a debug line per attempt (when `logger`, from
// request_log::enabled, is valid) and a warning before each repeat.
void log_attempt(nb::handle logger, nb::handle method, nb::handle url, nb::handle outcome,
                 std::chrono::steady_clock::time_point started, long attempt, long attempts);
void log_repeat(nb::handle method, nb::handle url, nb::handle reason, long attempt, long attempts, double pause);

}  // namespace korvane::api
