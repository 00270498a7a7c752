// The client's request methods: routing, headers, the attempt loop, answers and error mapping.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <string>

#include "api/answers.hpp"
#include "api/api.hpp"
#include "api/operations.hpp"
#include "api/request_log.hpp"
#include "api/retry_after.hpp"
#include "errors/errors.hpp"
#include "http/response.hpp"
#include "json/json.hpp"
#include "records/from_json.hpp"
#include "records/records.hpp"
#include "util/pytype.hpp"

namespace korvane::api {
namespace {

using errors::Kind;

// Transport failure classes of the HTTP layer, looked up once from the module (its ConnectionError
// is exported as HTTPConnectionError: the SDK's own ConnectionError has that name here).
struct TransportClasses {
    nb::handle timeout, connection, request;
};
nb::handle g_module;

const TransportClasses& transport() {
    // Strong references kept for the process: replacing the module's names later must not leave
    // these dangling.
    static TransportClasses classes{nb::object(g_module.attr("Timeout")).release(), nb::object(g_module.attr("HTTPConnectionError")).release(),
                                    nb::object(g_module.attr("RequestException")).release()};
    return classes;
}

bool non_empty_text(nb::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

bool starts_with(nb::handle text, const char* prefix) {
    if (!PyUnicode_Check(text.ptr())) return false;
    nb::object prefix_obj = nb::str(prefix);
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), prefix_obj.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object get_base_url(nb::handle self, nb::handle path) {
    if (starts_with(path, "/v1/chat") || starts_with(path, "/v1/models")) return nb::getattr(self, "proxy_url");
    return nb::getattr(self, "api_url");
}

nb::dict get_headers(nb::handle self) {
    nb::dict headers;
    headers["Content-Type"] = "application/json";
    headers["User-Agent"] = "korvane-sdk-python/1.0.0";
    nb::object key = nb::getattr(self, "api_key");
    if (non_empty_text(key)) headers["Authorization"] = nb::str("Bearer ") + nb::str(key);
    return headers;
}

nb::object url_for(nb::handle self, nb::handle path) {
    nb::object base = nb::getattr(self, "_get_base_url")(path);
    PyObject* url = PyNumber_Add(base.ptr(), path.ptr());
    if (!url) throw nb::python_error();
    return nb::steal(url);
}

nb::object korvane_error(nb::handle message, const char* code) {
    nb::dict kwargs;
    kwargs["error_code"] = code;
    return errors::make(Kind::Korvane, nb::make_tuple(message), kwargs);
}

// The error that one failed attempt records, or nothing when the failure is not the transport's.
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

// The number of attempts; a count below one would send nothing and report nothing.
long attempts_allowed(nb::handle self) {
    nb::object value = nb::getattr(self, "max_retries");
    long count = 0;
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        count = PyLong_AsLong(value.ptr());
        if (count == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            count = PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_GT) == 1 ? LONG_MAX : 0;
        }
    }
    if (count < 1) {
        errors::raise(korvane_error(
            nb::str("max_retries must be an integer of at least 1 (the number of attempts), got {!r}").format(value),
            "INVALID_CONFIGURATION"));
    }
    return count;
}

// The client's own _request and _handle_response, to tell them from replacements.
PyObject* g_own_request = nullptr;
PyObject* g_own_handle_response = nullptr;

// True when `bound` (an attribute just looked up on `self`) is `own` bound to `self`.
bool is_own_method(nb::handle bound, nb::handle self, PyObject* own) {
    if (!own) return false;
    nb::object function = nb::getattr(bound, "__func__", nb::none());
    nb::object target = nb::getattr(bound, "__self__", nb::none());
    return function.ptr() == own && target.ptr() == self.ptr();
}

// Where a list call's answer may go straight into records (see request_for_records).
struct RecordsRoute {
    const records::JsonRecords* reader;
    nb::object records;
};

// _handle_response for our own Response on the records route: the same steps, with the body
// read by the route's reader and decoded as JSON only when the reader cannot take it.
nb::object handle_response_into_records(nb::handle self, nb::handle response, http::Response& own,
                                        RecordsRoute& route) {
    long status = own.status_code();
    if (status >= 400 && status <= 599) nb::getattr(self, "_handle_error")(response);
    try {
        return own.read_body([&](std::string_view body) -> nb::object {
            route.records = route.reader->read(body);
            return route.records.is_valid() ? nb::none() : json::parse(body);
        });
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return nb::getattr(response, "text");
}

// ---- Opt-in retrying of busy answers ----------------------------------------------------------
// Off by default: then only transport failures are repeated, at once. With the client's
// `retry_on_busy` true, answers 408, 409, 429 and 5xx are sent again too (within `max_retries`
// attempts in all), after a pause: the answer's Retry-After (capped at `retry_after_max`) when it
// has one, else exponential backoff with full jitter, random() * min(backoff_max, backoff_base * 2**n).
// The pause goes through the client's `_sleep` and `_random` when set (tests inject them).

struct BusyRetry {
    bool enabled = false;
    double base = 0.5;
    double cap = 8.0;
    double retry_after_cap = 60.0;
};

double seconds_setting(nb::handle self, const char* name, double fallback) {
    nb::object value = nb::getattr(self, name, nb::none());
    if (value.is_none()) return fallback;
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return seconds < 0 || seconds != seconds ? 0.0 : seconds;
}

BusyRetry busy_retry_of(nb::handle self) {
    BusyRetry policy;
    nb::object on = nb::getattr(self, "retry_on_busy", nb::none());
    if (on.is_none() || !truthy(on)) return policy;
    policy.enabled = true;
    policy.base = seconds_setting(self, "backoff_base", policy.base);
    policy.cap = seconds_setting(self, "backoff_max", policy.cap);
    policy.retry_after_cap = seconds_setting(self, "retry_after_max", policy.retry_after_cap);
    return policy;
}

bool is_busy(long status) { return status == 408 || status == 409 || status == 429 || (status >= 500 && status <= 599); }

nb::object retry_after_of(nb::handle response);

// The pause before repeat number `repeat` (0 for the first) after the busy `response`.
double busy_pause(nb::handle self, const BusyRetry& policy, nb::handle response, long repeat) {
    nb::object after;
    try {
        after = retry_after_of(response);
    } catch (nb::python_error&) {
        after = nb::none();  // an answer without readable headers: backoff instead
    }
    if (!after.is_none()) return std::min(std::max(0.0, nb::cast<double>(after)), policy.retry_after_cap);
    const double ceiling = std::min(policy.cap, policy.base * std::ldexp(1.0, static_cast<int>(std::min(repeat, 62L))));
    nb::object random = nb::getattr(self, "_random", nb::none());
    if (random.is_none()) random = nb::module_::import_("random").attr("random");
    return nb::cast<double>(random()) * ceiling;
}

// Gives the busy answer's connection back, then pauses.
void pause_before_repeat(nb::handle self, nb::handle response, double seconds) {
    nb::object close = nb::getattr(response, "close", nb::none());
    if (!close.is_none()) close();
    nb::object sleep = nb::getattr(self, "_sleep", nb::none());
    if (sleep.is_none()) sleep = nb::module_::import_("time").attr("sleep");
    sleep(seconds);
}

long status_of(nb::handle response);

// At most this many characters of a failed answer's body are kept on its error.
constexpr Py_ssize_t kErrorBodyLimit = 64 * 1024;

// The URL as an error may show it: without user information ("user:secret@"), if it has any.
nb::object shown_url(nb::handle url) {
    if (!PyUnicode_Check(url.ptr())) return nb::borrow(url);
    std::string text(nb::str(url).c_str());
    const size_t scheme = text.find("://");
    if (scheme == std::string::npos) return nb::borrow(url);
    const size_t start = scheme + 3;
    const size_t end = text.find_first_of("/?#", start);
    const size_t at = text.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start) return nb::borrow(url);
    text.erase(start, at + 1 - start);
    return nb::str(text.data(), text.size());
}

// BaseException.add_note() where Python has it (3.11 on); before, the same `__notes__` list it
// keeps, which callers and traceback printers of those versions can still read.
void add_note(nb::handle error, nb::handle note) {
    if (nb::hasattr(error, "add_note")) {
        nb::getattr(error, "add_note")(note);
        return;
    }
    nb::object notes = nb::getattr(error, "__notes__", nb::none());
    if (notes.is_none()) {
        notes = nb::list();
        nb::setattr(error, "__notes__", notes);
    }
    if (PyList_Check(notes.ptr()) && PyList_Append(notes.ptr(), note.ptr()) < 0) throw nb::python_error();
}

// Gives an error of ours raised for a request its method and URL (when it has none yet) and a
// note naming the exchange, which tracebacks show under the error's own text.
void add_request_context(nb::handle error, nb::handle method, nb::handle url) {
    if (!PyObject_IsInstance(error.ptr(), errors::type(Kind::Korvane).ptr())) {
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    }
    if (!nb::getattr(error, "method", nb::none()).is_none()) return;
    nb::object shown = shown_url(url);
    nb::setattr(error, "method", method);
    nb::setattr(error, "url", shown);
    nb::str note = nb::str("{} {}").format(method, shown);
    nb::object status = nb::getattr(error, "http_status", nb::none());
    if (!status.is_none()) note = nb::str("{}: HTTP {}").format(note, status);
    nb::object request_id = nb::getattr(error, "request_id", nb::none());
    if (!request_id.is_none()) note = nb::str("{}, request id {}").format(note, request_id);
    add_note(error, note);
}

// add_request_context() for the exception in flight, which then goes on unchanged.
void add_request_context(nb::python_error& failure, nb::handle method, nb::handle url) {
    nb::error_scope keep;  // the failure stays the exception in flight whatever happens here
    try {
        add_request_context(failure.value(), method, url);
    } catch (nb::python_error&) {
    }
}

// The answer's headers, request id and (bounded) body on the error made from it. Best effort:
// an answer object that cannot give one of them leaves it None.
void add_answer_context(nb::handle error, nb::handle response) {
    auto attempt = [](auto&& step) {
        try {
            step();
        } catch (nb::python_error&) {
        }
    };
    attempt([&] {
        nb::object headers = nb::getattr(response, "headers");
        nb::object copy = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(headers);
        nb::setattr(error, "headers", copy);
        nb::object request_id = headers.attr("get")("X-Request-Id");
        if (request_id.is_none()) request_id = headers.attr("get")("x-request-id");
        nb::setattr(error, "request_id", request_id);
    });
    attempt([&] {
        nb::object text = nb::getattr(response, "text");
        if (PyUnicode_Check(text.ptr()) && PyUnicode_GET_LENGTH(text.ptr()) > kErrorBodyLimit) {
            PyObject* head = PyUnicode_Substring(text.ptr(), 0, kErrorBodyLimit);
            if (!head) throw nb::python_error();
            text = nb::steal(head);
        }
        nb::setattr(error, "body", text);
    });
}

constexpr int kDebug = 10;    // logging.DEBUG
constexpr int kWarning = 30;  // logging.WARNING

// One debug line per attempt: method, URL (no user information), outcome, elapsed, attempt.
void log_attempt(nb::handle logger, nb::handle method, nb::handle url, nb::handle outcome,
                 std::chrono::steady_clock::time_point started, long attempt, long attempts) {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    request_log::emit(logger, kDebug, "%s %s -> %s in %.1f ms (attempt %d of %d)",
                      nb::make_tuple(method, shown_url(url), outcome, ms, attempt + 1, attempts));
}

// A warning before each repeat, naming what is repeated and why.
void log_repeat(nb::handle method, nb::handle url, nb::handle reason, long attempt, long attempts, double pause) {
    nb::handle logger = request_log::enabled(kWarning);
    if (!logger.is_valid()) return;
    request_log::emit(logger, kWarning, "%s %s failed (%s); attempt %d of %d in %.2f s",
                      nb::make_tuple(method, shown_url(url), reason, attempt + 2, attempts, pause));
}

nb::object request_impl(nb::handle self, nb::handle method, nb::handle path, nb::handle params, nb::handle json,
                        nb::handle files, nb::handle raw_response, RecordsRoute* route) {
    nb::object url = url_for(self, path);
    nb::object headers = nb::getattr(self, "_get_headers")();
    bool has_files = !files.is_none() && PyObject_Length(files.ptr()) > 0;
    if (PyErr_Occurred()) throw nb::python_error();
    if (has_files) headers.attr("pop")("Content-Type", nb::none());

    const long attempts = attempts_allowed(self);
    const BusyRetry busy = busy_retry_of(self);
    nb::object last_error;
    for (long attempt = 0; attempt < attempts; ++attempt) {
        nb::object timeout = nb::getattr(self, "timeout");
        nb::object response;
        const nb::handle logger = request_log::enabled(kDebug);  // invalid when nobody listens
        const auto started = logger.is_valid() ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
        try {
            response = nb::getattr(self, "_session")
                           .attr("request")(nb::arg("method") = method, nb::arg("url") = url,
                                            nb::arg("params") = params, nb::arg("json") = json,
                                            nb::arg("files") = files, nb::arg("headers") = headers,
                                            nb::arg("timeout") = timeout);
        } catch (nb::python_error& failure) {
            nb::object error = transport_error(failure, timeout);
            if (!error.is_valid()) throw;
            if (logger.is_valid()) log_attempt(logger, method, url, nb::str(nb::type_name(error.type())), started, attempt, attempts);
            if (attempt + 1 < attempts) log_repeat(method, url, nb::str(nb::type_name(error.type())), attempt, attempts, 0.0);
            last_error = std::move(error);
            continue;
        }
        if (logger.is_valid()) log_attempt(logger, method, url, nb::getattr(response, "status_code"), started, attempt, attempts);
        if (busy.enabled && attempt + 1 < attempts && is_busy(status_of(response))) {
            const double pause = busy_pause(self, busy, response, attempt);
            log_repeat(method, url, nb::str("HTTP {}").format(status_of(response)), attempt, attempts, pause);
            pause_before_repeat(self, response, pause);
            continue;
        }
        try {
            nb::object handler = nb::getattr(self, "_handle_response");
            if (route && is_own_method(handler, self, g_own_handle_response)) {
                if (http::Response* own = http::own_response(response, http::ResponseMethod::json)) {
                    return handle_response_into_records(self, response, *own, *route);
                }
            }
            return handler(response, raw_response);
        } catch (nb::python_error& failure) {
            add_request_context(failure, method, url);
            throw;
        }
    }
    if (last_error.is_valid()) add_request_context(last_error, method, url);
    errors::raise(last_error);
}

nb::object request(nb::handle self, nb::handle method, nb::handle path, nb::handle params, nb::handle json,
                   nb::handle files, nb::handle raw_response) {
    return request_impl(self, method, path, params, json, files, raw_response, nullptr);
}

nb::object request_stream(nb::handle self, nb::handle method, nb::handle path, nb::handle json) {
    nb::object url = url_for(self, path);
    nb::object headers = nb::getattr(self, "_get_headers")();
    // Busy answers may be repeated (opt-in) before the stream delivers anything; never after.
    const BusyRetry busy = busy_retry_of(self);
    const long attempts = busy.enabled ? attempts_allowed(self) : 1;
    nb::object response;
    long status = 0;
    for (long attempt = 0;; ++attempt) {
        response = nb::getattr(self, "_session")
                       .attr("request")(nb::arg("method") = method, nb::arg("url") = url, nb::arg("json") = json,
                                        nb::arg("headers") = headers, nb::arg("timeout") = nb::getattr(self, "timeout"),
                                        nb::arg("stream") = true);
        status = nb::cast<long>(nb::getattr(response, "status_code"));
        if (!busy.enabled || attempt + 1 >= attempts || !is_busy(status)) break;
        pause_before_repeat(self, response, busy_pause(self, busy, response, attempt));
    }
    if (status >= 400 && status <= 599) {
        // The error body is read whole by _handle_error; the connection goes back either way.
        try {
            try {
                nb::getattr(self, "_handle_error")(response);
            } catch (nb::python_error& failure) {
                add_request_context(failure, method, url);
                throw;
            }
        } catch (...) {
            nb::object close = nb::getattr(response, "close", nb::none());
            if (!close.is_none()) {
                nb::error_scope keep_error;
                try {
                    close();
                } catch (nb::python_error&) {
                }
            }
            throw;
        }
    }
    return response;
}

long status_of(nb::handle response) { return nb::cast<long>(nb::getattr(response, "status_code")); }

nb::object handle_response(nb::handle self, nb::handle response, nb::handle raw) {
    long status = status_of(response);
    if (status >= 400 && status <= 599) nb::getattr(self, "_handle_error")(response);
    if (PyObject_IsTrue(raw.ptr()) == 1) return nb::getattr(response, "text");
    try {
        return nb::getattr(response, "json")();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return nb::getattr(response, "text");
}

nb::object retry_after_of(nb::handle response) {
    nb::object value = nb::getattr(response, "headers").attr("get")("Retry-After");
    if (value.is_none()) return nb::none();
    nb::str text = nb::str(value);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    auto seconds = parse_retry_after(std::string_view(data, static_cast<size_t>(size)), std::time(nullptr));
    return seconds ? nb::object(nb::int_(*seconds)) : nb::none();
}

void handle_error(nb::handle self, nb::handle response) {
    (void)self;
    long status = status_of(response);
    nb::object message, code = nb::none();
    try {
        nb::object body = nb::getattr(response, "json")();
        if (!PyDict_Check(body.ptr())) throw std::invalid_argument("not an object");
        nb::dict fields = nb::borrow<nb::dict>(body);
        if (fields.contains("detail")) {
            message = fields["detail"];
        } else if (fields.contains("message")) {
            message = fields["message"];
        } else {
            message = nb::str("Unknown error");
        }
        if (fields.contains("error_code")) code = fields["error_code"];
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        message = nb::object();
    } catch (const std::invalid_argument&) {
        message = nb::object();
    }
    if (!message.is_valid()) {
        nb::object text = nb::getattr(response, "text");
        message = PyObject_IsTrue(text.ptr()) == 1 ? text : nb::object(nb::str("HTTP {}").format(status));
    }

    nb::tuple args = nb::make_tuple(message);
    nb::dict kwargs;
    nb::object error;
    switch (status) {
        case 401: {
            nb::dict details;
            details["status_code"] = status;
            kwargs["details"] = details;
            error = errors::make(Kind::Authentication, args, kwargs);
            break;
        }
        case 429:
            kwargs["retry_after"] = retry_after_of(response);
            error = errors::make(Kind::RateLimit, args, kwargs);
            break;
        case 400: error = errors::make(Kind::InvalidRequest, args); break;
        case 404: error = errors::make(Kind::NotFound, args); break;
        default:
            if (status >= 500) {
                error = errors::make(Kind::Server, args);
                nb::setattr(error, "http_status", nb::int_(status));
            } else {
                kwargs["http_status"] = status;
                kwargs["error_code"] = code;
                error = errors::make(Kind::Korvane, args, kwargs);
            }
    }
    add_answer_context(error, response);
    errors::raise(error);
}

nb::list list_models(nb::handle self) {
    nb::object answer = nb::getattr(self, "_request")(nb::arg("method") = "GET", nb::arg("path") = "/v1/models");
    nb::list data = expect_list(expect_object(answer, "GET /v1/models"), "data", "GET /v1/models");
    return records_from(records::record_class("ModelInfo"), data, "a model of GET /v1/models");
}

}  // namespace

bool is_own_request(nb::handle client, nb::handle request) { return is_own_method(request, client, g_own_request); }

nb::object request_for_records(nb::handle client, const Call& call, const records::JsonRecords& reader,
                               nb::object& records) {
    nb::handle none = Py_None;
    RecordsRoute route{&reader, {}};
    nb::object answer = request_impl(client, nb::str(call.method), call.path,
                                     call.params.is_valid() ? nb::handle(call.params) : none,
                                     call.json.is_valid() ? nb::handle(call.json) : none,
                                     call.files.is_valid() ? nb::handle(call.files) : none,
                                     call.raw_response ? Py_True : Py_False, call.raw_response ? nullptr : &route);
    records = std::move(route.records);
    return answer;
}

void bind_requests(nb::module_& m, nb::handle cls) {
    g_module = m;
    util::add_method(cls, "_get_headers", &get_headers, "Get request headers.");
    util::add_method(cls, "_get_base_url", &get_base_url, nb::arg("path"), "Get base URL for a path.");
    util::add_method(cls, "_request", &request, nb::arg("method"), nb::arg("path"), nb::arg("params") = nb::none(),
                     nb::arg("json") = nb::none(), nb::arg("files") = nb::none(),
                     nb::arg("raw_response") = false, "Make an HTTP request.");
    util::add_method(cls, "_request_stream", &request_stream, nb::arg("method"), nb::arg("path"),
                     nb::arg("json") = nb::none(), "Make a streaming HTTP request.");
    util::add_method(cls, "_handle_response", &handle_response, nb::arg("response"), nb::arg("raw") = false,
                     "Handle API response.");
    util::add_method(cls, "_handle_error", &handle_error, nb::arg("response"), "Handle error response.");
    util::add_method(cls, "list_models", &list_models, "List available models.");
    // Kept for the process, as the class is.
    g_own_request = nb::getattr(cls, "_request").release().ptr();
    g_own_handle_response = nb::getattr(cls, "_handle_response").release().ptr();
}

}  // namespace korvane::api
