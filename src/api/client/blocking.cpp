// The blocking driver: the steps of a whole call and the attempt loop of _request_stream, on the calling thread.
#include "api/client/blocking.hpp"

#include "api/client/attempts.hpp"
#include "api/client/handle_answer.hpp"
#include "api/client/plan.hpp"
#include "api/client/request_context.hpp"
#include "api/client/request_log.hpp"
#include "api/client/seam.hpp"
#include "api/engine/engine.hpp"
#include "api/engine/stream_call.hpp"
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

nb::object send_stream(nb::handle client, engine::StreamCall& call) {
    using engine::Next;
    Next step = call.start();
    nb::object response;
    for (;;) {
        switch (step) {
            case Next::send: {
                try {
                    response = call.send();
                } catch (nb::python_error& failure) {
                    step = call.send_failed(failure.value());
                    break;
                }
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
