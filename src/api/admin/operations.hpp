// Shared steps of the administration managers: one _request call through the client's seam, its
// answer read into records, request bodies from records, and query values.
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <utility>

#include "api/client/client.hpp"
#include "py/checks.hpp"
#include "records/record_id.hpp"

namespace korvane::api {

namespace nb = nanobind;
using records::Record;

// manager._client._request(method=..., path=..., ...), through the client's seam (seam.hpp).
nb::object send(nb::handle manager, const Call& call);

// The answer as a dict, or KorvaneError(UNEXPECTED_RESPONSE) naming the call and what came.
nb::dict answer_object(nb::handle answer, const Call& call);

// A record of class `record` from an answer that must be an object.
nb::object record_from(records::Record record, nb::handle answer, const Call& call);

// The records of a list answer: a bare array, or an object holding the array under `member`.
nb::list records_from_list(records::Record record, const char* member, nb::handle answer, const Call& call);

// send() for a list call, then records_from_list(). When the seam takes the C++ route, the answer's
// body goes straight into records where it can (same records, no dicts in between).
nb::list list_records(nb::handle manager, const Call& call, records::Record record, const char* member);

// The request record `record` built from `fields` as keywords (validation errors pass through),
// dumped without its null fields.
nb::object record_body(records::Record record, nb::dict fields);

// `value` when it is truthy, else a new empty container made by `make_empty`.
template <typename Empty>
nb::object or_empty(nb::handle value) {
    return py::truthy(value) ? nb::borrow(value) : nb::object(Empty());
}

// A parameter that takes any value, None included, as a Python function's would.
inline auto param(const char* name) { return nb::arg(name).none(); }
template <typename T>
auto param(const char* name, T&& default_value) {
    return nb::arg(name).none() = std::forward<T>(default_value);
}

// A date filter as sent: a date-time as its isoformat(), a text as it stands; `name` names the
// argument when the value is neither.
nb::object date_text(nb::handle value, const char* name);

}  // namespace korvane::api
