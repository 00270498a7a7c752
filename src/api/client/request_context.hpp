// What an error raised for a request says about it: method, URL (without user information), a
// note for tracebacks, and the failed answer's headers, request id and body.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api {

namespace nb = nanobind;

// The URL as an error or a log line may show it: without user information ("user:secret@").
nb::object shown_url(nb::handle url);

// Gives an error of ours raised for a request its method and URL (when it has none yet) and a
// note naming the exchange, which tracebacks show under the error's own text.
void add_request_context(nb::handle error, nb::handle method, nb::handle url);

// The same for an error of any class (the interpreter's own, raised while an answer was read).
void add_exchange_context(nb::handle error, nb::handle method, nb::handle url);

// add_request_context() for the exception in flight, which then goes on unchanged.
void add_request_context(nb::python_error& failure, nb::handle method, nb::handle url);

// For an error raised while a successful answer was read into its result: an error of ours (an
// answer of an unexpected shape) gets add_request_context(); a ValueError or TypeError (the records'
// ValidationError: members that do not fit the record) a note naming the request. Other errors are
// left as they are. `path` is the call's; the URL is the client's _get_base_url(path) + path.
void add_reading_context(nb::handle error, nb::handle client, nb::handle method, nb::handle path);

// add_reading_context() for the exception in flight, which then goes on unchanged.
void add_reading_context(nb::python_error& failure, nb::handle client, nb::handle method, nb::handle path);

// The answer's headers, request id and (bounded) body on the error made from it. Best effort:
// an answer object that cannot give one of them leaves it None.
void add_answer_context(nb::handle error, nb::handle response);

}  // namespace korvane::api
