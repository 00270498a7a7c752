// Shared steps of the administration managers: one _request call, its answer read into records,
// request bodies from records, and query values.
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <utility>

namespace korvane::records {
class JsonRecords;
}

namespace korvane::api {

namespace nb = nanobind;

// One call of the client's `_request`. Only the keywords set here are passed, so each operation
// sends exactly the keywords its contract lists.
struct Call {
    const char* method;
    nb::str path;
    nb::object params{};  // unset: not passed
    nb::object json{};    // unset: not passed
    nb::object files{};   // unset: not passed
    bool raw_response = false;

    // "GET /api/v1/tenants": how errors about the answer name the call.
    std::string describe() const;
};

// manager._client._request(method=..., path=..., ...) through ordinary attribute lookup.
nb::object send(nb::handle manager, const Call& call);

// The answer as a dict, or KorvaneError(UNEXPECTED_RESPONSE) naming the call and what came.
nb::dict answer_object(nb::handle answer, const Call& call);

// A record of class `record` (a name in korvane_sdk.models) from an answer that must be an object.
nb::object record_from(const char* record, nb::handle answer, const Call& call);

// The records of a list answer: a bare array, or an object holding the array under `member`.
nb::list records_from_list(const char* record, const char* member, nb::handle answer, const Call& call);

// send() for a list call, then records_from_list(). When the client's `_request` is its own, the
// answer's body goes straight into records where it can (same records, no dicts in between).
nb::list list_records(nb::handle manager, const Call& call, const char* record, const char* member);

// From request.cpp: whether `request` (looked up on `client`) is the client's own _request; and
// _request as that runs it, except that on the client's own _handle_response and the HTTP
// layer's own Response the body is read by `reader`, whose records then land in `records`
// (left unset when the reader could not take the body: the result is then _request's).
bool is_own_request(nb::handle client, nb::handle request);
nb::object request_for_records(nb::handle client, const Call& call, const records::JsonRecords& reader,
                               nb::object& records);

// The request record `record` built from `fields` as keywords (validation errors pass through),
// dumped without its null fields.
nb::object record_body(const char* record, nb::dict fields);

// `value` when it is truthy, else a new empty container made by `make_empty`.
template <typename Empty>
nb::object or_empty(nb::handle value) {
    int truthy = PyObject_IsTrue(value.ptr());
    if (truthy < 0) throw nb::python_error();
    return truthy ? nb::borrow(value) : nb::object(Empty());
}

// A parameter that takes any value, None included, as a Python function's would.
inline auto param(const char* name) { return nb::arg(name).none(); }
template <typename T>
auto param(const char* name, T&& default_value) {
    return nb::arg(name).none() = std::forward<T>(default_value);
}

// Python truthiness, with a failing __bool__ raised.
bool truthy(nb::handle value);

// A date filter as sent: a date-time as its isoformat(), a text as it stands; `name` names the
// argument when the value is neither.
nb::object date_text(nb::handle value, const char* name);

}  // namespace korvane::api
