// The blocking driver: performs a call engine's steps on the calling thread, each attempt through
// client._session.request (whose HTTP layer waits with the GIL released), pausing between attempts
// with client._sleep. It decides nothing: the engine (api/engine/engine.hpp) does.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api::engine {
class WholeCall;
}

namespace korvane::api::engine {
class StreamCall;
}

namespace korvane::api::blocking {

namespace nb = nanobind;

// Performs the steps of `call` (engine.hpp) on the calling thread: its result, or its error raised.
nb::object drive(engine::WholeCall& call);

// KorvaneClient._request: the call engine entered as _request itself, driven here.
nb::object request(nb::handle client, nb::handle method, nb::handle path, nb::handle params, nb::handle json,
                   nb::handle files, nb::handle raw_response);

// Performs the sending steps of the streamed call `call` (starting it): client._session.request,
// the pauses before repeating busy answers, an error answer raised; returns the open response.
nb::object send_stream(nb::handle client, engine::StreamCall& call);

// KorvaneClient._request_stream: the open response of a streamed call.
nb::object request_stream(nb::handle client, nb::handle method, nb::handle path, nb::handle json);

}  // namespace korvane::api::blocking
