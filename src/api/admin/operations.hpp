// Shared steps of the administration managers: one _request call through the client's seam, its
// answer read into records, request bodies from records, and query values.
//
// Each operation is written as a prepare step (argument checks and the request body: a Prepared,
// nothing sent) and one shared finish step (the answer into the operation's result). The blocking
// method is run(self, prepare(args)); the asyncio client awaits its own _request between the two
// steps through the prepare function of the same operation (operations registry, below).
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <utility>

#include "api/client/client.hpp"
#include "py/checks.hpp"
#include "py/types.hpp"
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

// What an operation's result is made of, once its answer is there.
enum class Finish {
    Answer,  // the answer as it came
    Done,    // True
    Record,  // a record of `record` from an object answer
    List,    // the records of `record` of a list answer (array, or an object with it under `member`)
    Logs,    // the answer object's "logs" member, "" when it has none
};

// A prepared operation: the call to send and how to read its answer. An upload owns its open file,
// closed once the request is over (close_file()).
struct Prepared {
    Call call;
    Finish finish = Finish::Answer;
    records::Record record = records::Record::Tenant;  // Record, List
    const char* member = nullptr;                      // List
    nb::object file{};                                 // an upload's file: unset otherwise
};

// The operation's result from its answer.
nb::object finish(const Prepared& prepared, nb::handle answer);
// The same, an error about the answer (UNEXPECTED_RESPONSE) named as `client`'s request.
nb::object finish_for(nb::handle client, const Prepared& prepared, nb::handle answer);

// The blocking operation: prepared.call through manager._client's seam, the file closed after it on
// every path, then finish().
nb::object run(nb::handle manager, Prepared&& prepared);

// Closes `file` after a failed call, dropping a failure to close (the call's own error is the one
// to report; closing a file opened for reading loses nothing).
void close_quietly(nb::handle file) noexcept;

// The registry of prepare functions: `operations[class name][method name]` is a function with the
// method's parameters (self first, not read) that returns (the keywords of its _request, a state whose
// finish(answer) gives the result and whose close() closes what it owns).
nb::dict operation_registry();

nb::tuple prepared_to_python(Prepared&& prepared);

template <auto Prepare>
struct Operation;

template <typename... Args, Prepared (*Prepare)(Args...)>
struct Operation<Prepare> {
    static nb::object blocking(nb::handle self, Args... args) { return run(self, Prepare(args...)); }
    // `self` is taken (and not read) so that a wrong call is reported as the method's would be.
    static nb::tuple prepare(nb::handle /*self*/, Args... args) { return prepared_to_python(Prepare(args...)); }
};

// Adds method `name` of `cls` (`extra`: its parameters, self left out, and documentation), made
// from `Prepare`, and registers its prepare function.
template <auto Prepare, typename... Extra>
void add_operation(nb::handle cls, const char* name, const Extra&... extra) {
    py::add_method(cls, name, &Operation<Prepare>::blocking, extra...);
    nb::object prepare = nb::cpp_function(&Operation<Prepare>::prepare, nb::name(name), nb::arg("self"), extra...);
    nb::str owner = nb::borrow<nb::str>(nb::getattr(cls, "__name__"));
    nb::dict registry = operation_registry();
    if (!registry.contains(owner)) registry[owner] = nb::dict();
    registry[owner][name] = prepare;
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
