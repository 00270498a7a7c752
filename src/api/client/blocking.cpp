// The blocking driver: the attempt loops of _request and _request_stream on the calling thread.
#include "api/client/blocking.hpp"

#include <chrono>

#include "api/client/attempts.hpp"
#include "api/client/handle_answer.hpp"
#include "api/client/plan.hpp"
#include "api/client/request_context.hpp"
#include "api/client/request_log.hpp"
#include "api/client/seam.hpp"
#include "api/engine/stream_call.hpp"
#include "errors/errors.hpp"
#include "http/response.hpp"

namespace korvane::api::blocking {
namespace {

constexpr int kDebug = 10;  // logging.DEBUG

// Gives the busy answer's connection back, then waits (client._sleep when set, else time.sleep).
void pause_before_repeat(nb::handle client, nb::handle response, double seconds) {
    nb::object close = nb::getattr(response, "close", nb::none());
    if (!close.is_none()) close();
    nb::object sleep = nb::getattr(client, "_sleep", nb::none());
    if (sleep.is_none()) sleep = nb::module_::import_("time").attr("sleep");
    sleep(seconds);
}

// Closes a response that will not be returned; a failing close() must not hide the error to raise.
void close_quietly_now(nb::handle response) {
    try {
        nb::object close = nb::getattr(response, "close", nb::none());
        if (!close.is_none()) close();
    } catch (nb::python_error&) {
    }
}

// Closes a response that will not be returned, keeping the exception in flight.
void close_quietly(nb::handle response) {
    nb::object close = nb::getattr(response, "close", nb::none());
    if (close.is_none()) return;
    nb::error_scope keep_error;
    try {
        close();
    } catch (nb::python_error&) {
    }
}

// The answer through client._handle_response, or through the records route when that seam and the
// response's json() are still ours (the seam decides).
nb::object answer_of(nb::handle client, nb::handle response, nb::handle raw_response, RecordsRoute* route) {
    nb::object handler = nb::getattr(client, "_handle_response");
    if (route && is_own(handler, client, OwnMethod::handle_response)) {
        if (http::Response* own = own_json(response)) {
            return handle_response_into_records(client, response, *own, *route->reader, route->records);
        }
    }
    return handler(response, raw_response);
}

}  // namespace

nb::object request(nb::handle client, nb::handle method, nb::handle path, nb::handle params, nb::handle json,
                   nb::handle files, nb::handle raw_response, RecordsRoute* route) {
    const RequestPlan plan = plan_request(client, path, files);
    const nb::handle url = plan.url;
    const long attempts = attempts_allowed(client);
    const BusyRetry busy = busy_retry_of(client);
    nb::object last_error;
    for (long attempt = 0; attempt < attempts; ++attempt) {
        nb::object timeout = nb::getattr(client, "timeout");
        nb::object response;
        const nb::handle logger = request_log::enabled(kDebug);  // invalid when nobody listens
        const auto started = logger.is_valid() ? std::chrono::steady_clock::now()
                                               : std::chrono::steady_clock::time_point();
        try {
            response = nb::getattr(client, "_session")
                           .attr("request")(nb::arg("method") = method, nb::arg("url") = url,
                                            nb::arg("params") = params, nb::arg("json") = json,
                                            nb::arg("files") = files, nb::arg("headers") = plan.headers,
                                            nb::arg("timeout") = timeout);
        } catch (nb::python_error& failure) {
            nb::object error = transport_error(failure, timeout);
            if (!error.is_valid()) throw;
            nb::str kind = nb::str(nb::type_name(error.type()));
            if (logger.is_valid()) log_attempt(logger, method, url, kind, started, attempt, attempts);
            if (attempt + 1 < attempts) log_repeat(method, url, kind, attempt, attempts, 0.0);
            last_error = std::move(error);
            continue;
        }
        if (logger.is_valid())
            log_attempt(logger, method, url, nb::getattr(response, "status_code"), started, attempt, attempts);
        if (busy.enabled && attempt + 1 < attempts && is_busy(status_of(response))) {
            const double pause = busy_pause(client, busy, response, attempt);
            log_repeat(method, url, nb::str("HTTP {}").format(status_of(response)), attempt, attempts, pause);
            pause_before_repeat(client, response, pause);
            continue;
        }
        try {
            return answer_of(client, response, raw_response, route);
        } catch (nb::python_error& failure) {
            add_request_context(failure, method, url);
            throw;
        }
    }
    if (last_error.is_valid()) add_request_context(last_error, method, url);
    errors::raise(last_error);
}

nb::object send_stream(nb::handle client, engine::StreamCall& call) {
    using engine::Next;
    Next step = call.start();
    nb::object response;
    for (;;) {
        switch (step) {
            case Next::send: {
                nb::dict keywords = call.request_keywords();
                nb::object request = nb::getattr(client, "_session").attr("request");
                PyObject* answer = PyObject_Call(request.ptr(), nb::tuple().ptr(), keywords.ptr());
                if (!answer) {
                    nb::python_error failure;
                    step = call.send_failed(failure.value());
                    break;
                }
                response = nb::steal(answer);
                step = call.answered(response);
                break;
            }
            case Next::pause:
                pause_before_repeat(client, response, call.pause());
                response.reset();
                step = call.paused();
                break;
            case Next::read:  // the blocking response reads its error body when _handle_error asks for it
                try {
                    step = call.body_read(response);
                } catch (...) {
                    close_quietly(response);
                    throw;
                }
                break;
            case Next::raise: {
                nb::object error = call.take_error();
                if (response.is_valid()) close_quietly_now(response);
                errors::raise(error);
            }
            case Next::result: return response;
        }
    }
}

nb::object request_stream(nb::handle client, nb::handle method, nb::handle path, nb::handle json) {
    // Called as a method (a subclass's super()._request_stream): only the sending is this call's.
    engine::StreamCall call(client, method, path, json, nullptr);
    return send_stream(client, call);
}

}  // namespace korvane::api::blocking
