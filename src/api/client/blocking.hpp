// The blocking driver: carries out a planned call on the calling thread, one attempt after another,
// each through client._session.request (whose HTTP layer waits with the GIL released), pausing
// between attempts with client._sleep. Everything it decides comes from the shared pieces (plan,
// attempts, answer, request_context); see seam.hpp for where another driver plugs in.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::records {
class JsonRecords;
}

namespace korvane::api::engine {
class StreamCall;
}

namespace korvane::api::blocking {

namespace nb = nanobind;

// Where a list call's answer may go straight into records: `reader` (kept by the caller for the
// process) reads the body; `records` receives what it read, unset when the general path decides.
struct RecordsRoute {
    const records::JsonRecords* reader;
    nb::object records;
};

// KorvaneClient._request; with `route`, a body that the client's own _handle_response would decode
// from the HTTP layer's own Response goes through the route's reader instead.
nb::object request(nb::handle client, nb::handle method, nb::handle path, nb::handle params, nb::handle json,
                   nb::handle files, nb::handle raw_response, RecordsRoute* route);

// Performs the sending steps of the streamed call `call` (starting it): client._session.request,
// the pauses before repeating busy answers, an error answer raised; returns the open response.
nb::object send_stream(nb::handle client, engine::StreamCall& call);

// KorvaneClient._request_stream: the open response of a streamed call.
nb::object request_stream(nb::handle client, nb::handle method, nb::handle path, nb::handle json);

}  // namespace korvane::api::blocking
