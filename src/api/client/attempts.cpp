// The retry rule: attempt budget, busy answers, backoff, and which failures count as the transport's.
#include "api/client/attempts.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

#include "api/client/handle_answer.hpp"
#include "api/client/request_context.hpp"
#include "api/client/request_log.hpp"
#include "errors/errors.hpp"
#include "py/checks.hpp"

namespace korvane::api {

using errors::Kind;

namespace {

// Transport failure classes of the HTTP layer, looked up once from the module (its ConnectionError
// is exported as HTTPConnectionError: the SDK's own ConnectionError has that name here).
struct TransportClasses {
    nb::handle timeout, connection, request;
};
nb::handle g_module;  // the module that holds the HTTP layer's names (borrowed: it lives for the process)

const TransportClasses& transport() {
    // Strong references kept for the process: replacing the module's names later must not leave
    // these dangling.
    static TransportClasses classes{nb::object(g_module.attr("Timeout")).release(),
                                    nb::object(g_module.attr("HTTPConnectionError")).release(),
                                    nb::object(g_module.attr("RequestException")).release()};
    return classes;
}

double seconds_setting(nb::handle client, const char* name, double fallback) {
    nb::object value = nb::getattr(client, name, nb::none());
    if (value.is_none()) return fallback;
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return seconds < 0 || seconds != seconds ? 0.0 : seconds;
}

constexpr int kDebug = 10;    // logging.DEBUG
constexpr int kWarning = 30;  // logging.WARNING

}  // namespace

void remember_transport_module(nb::handle module) { g_module = module; }

long attempts_allowed(nb::handle client) {
    nb::object value = nb::getattr(client, "max_retries");
    long count = 0;
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        count = PyLong_AsLong(value.ptr());
        if (count == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            count = PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_GT) == 1 ? LONG_MAX : 0;
        }
    }
    if (count < 1) {
        nb::dict kwargs;
        kwargs["error_code"] = "INVALID_CONFIGURATION";
        nb::str message =
            nb::str("max_retries must be an integer of at least 1 (the number of attempts), got {!r}").format(value);
        errors::raise(errors::make(Kind::Korvane, nb::make_tuple(message), kwargs));
    }
    return count;
}

BusyRetry busy_retry_of(nb::handle client) {
    BusyRetry policy;
    nb::object on = nb::getattr(client, "retry_on_busy", nb::none());
    if (on.is_none() || !py::truthy(on)) return policy;
    policy.enabled = true;
    policy.base = seconds_setting(client, "backoff_base", policy.base);
    policy.cap = seconds_setting(client, "backoff_max", policy.cap);
    policy.retry_after_cap = seconds_setting(client, "retry_after_max", policy.retry_after_cap);
    return policy;
}

bool is_busy(long status) {
    return status == 408 || status == 409 || status == 429 || (status >= 500 && status <= 599);
}

double busy_pause(nb::handle client, const BusyRetry& policy, nb::handle response, long repeat) {
    nb::object after;
    try {
        after = retry_after_of(response);
    } catch (nb::python_error&) {
        after = nb::none();  // an answer without readable headers: backoff instead
    }
    if (!after.is_none()) return std::min(std::max(0.0, nb::cast<double>(after)), policy.retry_after_cap);
    const double ceiling = std::min(policy.cap, policy.base * std::ldexp(1.0, static_cast<int>(std::min(repeat, 62L))));
    nb::object random = nb::getattr(client, "_random", nb::none());
    if (random.is_none()) random = nb::module_::import_("random").attr("random");
    return nb::cast<double>(random()) * ceiling;
}

nb::object transport_error(const nb::python_error& failure, nb::handle timeout) {
    nb::handle value = failure.value();
    const TransportClasses& t = transport();
    if (nb::isinstance(value, t.timeout)) {
        nb::str message = nb::str("Request timed out after {}s").format(timeout);
        return errors::make(Kind::Timeout, nb::make_tuple(message));
    }
    if (nb::isinstance(value, t.connection)) {
        return errors::make(Kind::Connection, nb::make_tuple(nb::str("Connection error: ") + nb::str(value)));
    }
    if (nb::isinstance(value, t.request)) {
        return errors::make(Kind::Korvane, nb::make_tuple(nb::str("Request failed: ") + nb::str(value)));
    }
    return nb::object();
}

void log_attempt(nb::handle logger, nb::handle method, nb::handle url, nb::handle outcome,
                 std::chrono::steady_clock::time_point started, long attempt, long attempts) {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    request_log::emit(logger, kDebug, "%s %s -> %s in %.1f ms (attempt %d of %d)",
                      nb::make_tuple(method, shown_url(url), outcome, ms, attempt + 1, attempts));
}

void log_repeat(nb::handle method, nb::handle url, nb::handle reason, long attempt, long attempts, double pause) {
    nb::handle logger = request_log::enabled(kWarning);
    if (!logger.is_valid()) return;
    request_log::emit(logger, kWarning, "%s %s failed (%s); attempt %d of %d in %.2f s",
                      nb::make_tuple(method, shown_url(url), reason, attempt + 2, attempts, pause));
}

}  // namespace korvane::api
