// Shared steps of the administration managers: each operation as one call of the call engine, its
// answer read into records, request bodies from records, and query values.
//
// Each operation is written as a prepare step (argument checks and the request body: a Prepared,
// nothing sent) and one shared finish step (the answer into the operation's result). The prepared
// call goes to the call engine (api/engine/engine.hpp), driven by the blocking driver for the
// blocking method and by the awaited driver for the asyncio client's twin (operations registry).
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "api/client/client.hpp"
#include "api/engine/engine.hpp"
#include "api/engine/pages.hpp"
#include "py/checks.hpp"
#include "py/types.hpp"
#include "records/record_id.hpp"

namespace korvane::api {

namespace nb = nanobind;
using records::Record;

// The answer as a dict, or KorvaneError(UNEXPECTED_RESPONSE) naming the call and what came.
nb::dict answer_object(nb::handle answer, const Call& call);

// A record of class `record` from an answer that must be an object.
nb::object record_from(records::Record record, nb::handle answer, const Call& call);

// The records of a list answer: a bare array, or an object holding the array under `member`.
nb::list records_from_list(records::Record record, const char* member, nb::handle answer, const Call& call);

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

// The operation's result from its answer (an unexpected answer named as the call).
nb::object finish(const Prepared& prepared, nb::handle answer);

// The call engine of a prepared operation of `manager`, for `driver` (the upload's file goes with it).
engine::WholeCall operation_call(nb::handle manager, Driver driver, Prepared&& prepared);

// The blocking operation: the prepared call driven on the calling thread.
nb::object run(nb::handle manager, Prepared&& prepared);

// The awaited operation: the awaitable of the prepared call, for the asyncio client.
nb::object awaited(nb::handle manager, Prepared&& prepared);

// Closes `file` after a failed call, dropping a failure to close (the call's own error is the one
// to report; closing a file opened for reading loses nothing).
void close_quietly(nb::handle file) noexcept;

// The registry of awaited operations: `operations[class name][method name]` is a function with the
// method's parameters (self first: the manager) that returns the awaitable of the call.
nb::dict operation_registry();

template <auto Prepare>
struct Operation;

template <typename... Args, Prepared (*Prepare)(Args...)>
struct Operation<Prepare> {
    static nb::object blocking(nb::handle self, Args... args) { return run(self, Prepare(args...)); }
    static nb::object awaitable(nb::handle self, Args... args) { return awaited(self, Prepare(args...)); }
};

// Adds method `name` of `cls` (`extra`: its parameters, self left out, and documentation), made
// from `Prepare`, and registers its awaited twin.
template <auto Prepare, typename... Extra>
void add_operation(nb::handle cls, const char* name, const Extra&... extra) {
    py::add_method(cls, name, &Operation<Prepare>::blocking, extra...);
    nb::object prepare = nb::cpp_function(&Operation<Prepare>::awaitable, nb::name(name), nb::arg("self"), extra...);
    nb::str owner = nb::borrow<nb::str>(nb::getattr(cls, "__name__"));
    nb::dict registry = operation_registry();
    if (!registry.contains(owner)) registry[owner] = nb::dict();
    registry[owner][name] = prepare;
}

// Adds the page iterator `name` (engine/pages.hpp) to `cls` and registers its awaited twin.
inline void add_pages(nb::handle cls, const char* name, const char* list_name,
                      std::initializer_list<const char*> filters, const char* signature, const char* doc) {
    nb::object twin = engine::add_page_iterator(cls, name, list_name, filters, signature, doc);
    nb::str owner = nb::borrow<nb::str>(nb::getattr(cls, "__name__"));
    nb::dict registry = operation_registry();
    if (!registry.contains(owner)) registry[owner] = nb::dict();
    registry[owner][name] = twin;
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
