// The blocking driver: the steps of a whole call and the attempt loop of _request_stream, on the calling thread.
#include "api/client/blocking.hpp"

#include "api/client/attempts.hpp"
#include "api/client/handle_answer.hpp"
#include "api/client/plan.hpp"
#include "api/client/request_context.hpp"
#include "api/client/request_log.hpp"
#include "api/client/seam.hpp"
#include "api/engine/engine.hpp"
#include "errors/errors.hpp"
#include "http/response.hpp"

namespace korvane::api::blocking {
namespace {

// Gives the busy answer's connection back, then waits (client._sleep when set, else time.sleep).
void pause_before_repeat(nb::handle client, nb::handle response, double seconds) {
    nb::object close = nb::getattr(response, "close", nb::none());
    if (!close.is_none()) close();
    nb::object sleep = nb::getattr(client, "_sleep", nb::none());
    if (sleep.is_none()) sleep = nb::module_::import_("time").attr("sleep");
    sleep(seconds);
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

}  // namespace

nb::object drive(engine::WholeCall& call) {
    using engine::Next;
    Next next = call.start();
    for (;;) {
        switch (next) {
            case Next::send: {
                nb::object response;
                try {
                    response = call.send();
                } catch (nb::python_error& failure) {
                    next = call.failed(failure);
                    break;
                }
                next = call.answered(response);
                break;
            }
            case Next::pause:
                pause_before_repeat(call.client(), call.busy_answer(), call.pause_seconds());
                next = call.paused();
                break;
            case Next::read: next = call.answered(call.awaiting()); break;  // only asked of the awaited driver
            case Next::result: return call.take_result();
            case Next::raise: call.raise_error();
        }
    }
}

nb::object request(nb::handle client, nb::handle method, nb::handle path, nb::handle params, nb::handle json,
                   nb::handle files, nb::handle raw_response) {
    engine::WholeCall call = engine::WholeCall::request_entry(client, Driver::blocking, method, path, params, json,
                                                              files, raw_response);
    return drive(call);
}

nb::object request_stream(nb::handle client, nb::handle method, nb::handle path, nb::handle json) {
    const RequestPlan plan = plan_request(client, path, Py_None);
    // Busy answers may be repeated (opt-in) before the stream delivers anything; never after.
    const BusyRetry busy = busy_retry_of(client);
    const long attempts = busy.enabled ? attempts_allowed(client) : 1;
    nb::object response;
    long status = 0;
    for (long attempt = 0;; ++attempt) {
        response = nb::getattr(client, "_session")
                       .attr("request")(nb::arg("method") = method, nb::arg("url") = plan.url, nb::arg("json") = json,
                                        nb::arg("headers") = plan.headers,
                                        nb::arg("timeout") = nb::getattr(client, "timeout"), nb::arg("stream") = true);
        status = nb::cast<long>(nb::getattr(response, "status_code"));
        if (!busy.enabled || attempt + 1 >= attempts || !is_busy(status)) break;
        pause_before_repeat(client, response, busy_pause(client, busy, response, attempt));
    }
    if (status >= 400 && status <= 599) {
        // The error body is read whole by _handle_error; the connection goes back either way.
        try {
            try {
                nb::getattr(client, "_handle_error")(response);
            } catch (nb::python_error& failure) {
                add_request_context(failure, method, plan.url);
                throw;
            }
        } catch (...) {
            close_quietly(response);
            throw;
        }
    }
    return response;
}

}  // namespace korvane::api::blocking
