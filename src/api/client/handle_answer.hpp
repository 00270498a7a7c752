// Answers, shared by every driver: status -> error mapping and reading bodies (into records where
// a list call allows it).
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::http {
class Response;
}
namespace korvane::records {
class JsonRecords;
}

namespace korvane::api {

namespace nb = nanobind;

long status_of(nb::handle response);

// Seconds from the answer's Retry-After header, or None when it has none that reads.
nb::object retry_after_of(nb::handle response);

// KorvaneClient._handle_response: 4xx/5xx to client._handle_error, then the decoded body (its text
// when `raw` or when it is not JSON).
nb::object handle_response(nb::handle client, nb::handle response, nb::handle raw);

// KorvaneClient._handle_error: raises the SDK error the status maps to, with the answer's context.
[[noreturn]] void handle_error(nb::handle client, nb::handle response);

// handle_response() for the HTTP layer's own Response `own` (behind `response`) on the records
// route: the same steps, with the body read by `reader` into `records` (left unset when the reader
// cannot take the body, which is then decoded as JSON as json() would).
nb::object handle_response_into_records(nb::handle client, nb::handle response, http::Response& own,
                                        const records::JsonRecords& reader, nb::object& records);

}  // namespace korvane::api
