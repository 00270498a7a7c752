// The shared steps of the administration managers: calling _request and reading its answers.
#include "api/admin/operations.hpp"

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "py/raise.hpp"
#include "records/from_json.hpp"
#include "records/records.hpp"

namespace korvane::api {
namespace {

// One prepared reader per record class and list member, made on first use and kept for the
// process (never destroyed, like the record classes whose values its readers keep).
const records::JsonRecords& list_reader(records::Record record, const char* member) {
    using Readers = std::map<std::pair<records::Record, std::string>, std::unique_ptr<records::JsonRecords>>;
    static Readers& readers = *new Readers();
    auto& reader = readers[{record, member}];
    if (!reader) {
        reader = std::make_unique<records::JsonRecords>(records::record_name(record),
                                                        records::JsonRecords::Layout::List, member);
    }
    return *reader;
}

}  // namespace

nb::object send(nb::handle manager, const Call& call) {
    nb::object client = nb::getattr(manager, "_client");
    return Seams(client).request(call);
}

nb::list list_records(nb::handle manager, const Call& call, records::Record record, const char* member) {
    nb::object client = nb::getattr(manager, "_client");
    nb::object records;
    nb::object answer = Seams(client).request_for_records(call, list_reader(record, member), records);
    if (records.is_valid()) return nb::borrow<nb::list>(records);
    return read_answer(client, call, [&] { return records_from_list(record, member, answer, call); });
}

// finish(), an unexpected answer named as `client`'s request (the call's other errors are).
nb::object finish_for(nb::handle client, const Prepared& prepared, nb::handle answer) {
    return read_answer(client, prepared.call, [&] { return finish(prepared, answer); });
}

nb::object finish(const Prepared& prepared, nb::handle answer) {
    switch (prepared.finish) {
        case Finish::Answer: return nb::borrow(answer);
        case Finish::Done: return nb::borrow(Py_True);
        case Finish::Record: return record_from(prepared.record, answer, prepared.call);
        case Finish::List: return records_from_list(prepared.record, prepared.member, answer, prepared.call);
        case Finish::Logs: {
            nb::dict fields = answer_object(answer, prepared.call);
            PyObject* logs = PyDict_GetItemWithError(fields.ptr(), nb::str("logs").ptr());  // borrowed
            if (!logs && PyErr_Occurred()) throw nb::python_error();
            return logs ? nb::borrow(logs) : nb::object(nb::str(""));
        }
    }
    return nb::borrow(answer);  // not reached: every kind is handled above
}

nb::object run(nb::handle manager, Prepared&& prepared) {
    if (prepared.finish == Finish::List) {
        return list_records(manager, prepared.call, prepared.record, prepared.member);
    }
    nb::object client = nb::getattr(manager, "_client");
    if (!prepared.file.is_valid()) return finish_for(client, prepared, send(manager, prepared.call));
    nb::object answer;
    try {
        answer = send(manager, prepared.call);
    } catch (...) {
        close_quietly(prepared.file);
        throw;
    }
    nb::getattr(prepared.file, "close")();
    return finish_for(client, prepared, answer);
}

void close_quietly(nb::handle file) noexcept {
    try {
        nb::getattr(file, "close")();
    } catch (...) {
    }
}

namespace {

// The state between an operation's prepare and finish steps, as the asyncio client holds it.
struct PreparedState {
    Prepared prepared;

    nb::object finish_with(nb::handle answer, nb::handle client) const { return finish_for(client, prepared, answer); }

    // Closes the upload's file (idempotent; nothing to do for other operations).
    void close() const {
        if (prepared.file.is_valid()) nb::getattr(prepared.file, "close")();
    }
};

}  // namespace

nb::dict operation_registry() {
    static nb::dict& registry = *new nb::dict();  // kept for the process, as the classes are
    return registry;
}

nb::tuple prepared_to_python(Prepared&& prepared) {
    nb::dict kwargs = prepared.call.keywords();
    nb::object state = nb::cast(PreparedState{std::move(prepared)});
    return nb::make_tuple(kwargs, state);
}

void bind_operations(nb::module_& m) {
    nb::class_<PreparedState>(m, "_PreparedCall", "A prepared operation: its finish step and what it owns.")
        .def("finish", &PreparedState::finish_with, nb::arg("answer").none(), nb::arg("client").none() = nb::none(),
             "The operation's result from its answer (an unexpected answer named as the client's request).")
        .def("close", &PreparedState::close, "Closes what the prepared call owns (an upload's file).");
    m.attr("_operations") = operation_registry();
}

nb::dict answer_object(nb::handle answer, const Call& call) {
    // The description is built only when the answer is wrong.
    return PyDict_Check(answer.ptr()) ? nb::borrow<nb::dict>(answer) : expect_object(answer, call.describe());
}

nb::object record_from(records::Record record, nb::handle answer, const Call& call) {
    return records::from_mapping(records::record_class(record), answer_object(answer, call));
}

nb::list records_from_list(records::Record record, const char* member, nb::handle answer, const Call& call) {
    const std::string what = call.describe();
    nb::list items = expect_list(answer, member, what);
    return records_from(records::record_class(record), items, "an element of " + what);
}

nb::object record_body(records::Record record, nb::dict fields) {
    nb::handle cls = records::record_class(record);
    PyObject* built = PyObject_Call(cls.ptr(), nb::tuple().ptr(), fields.ptr());
    if (!built) throw nb::python_error();
    return records::dump(nb::steal(built), /*exclude_none=*/true);
}

nb::object date_text(nb::handle value, const char* name) {
    if (PyUnicode_Check(value.ptr())) return nb::borrow(value);
    if (nb::hasattr(value, "isoformat")) return nb::getattr(value, "isoformat")();
    py::raise_type_error("%s must be a datetime or an ISO 8601 text, not %s", name, Py_TYPE(value.ptr())->tp_name);
}

}  // namespace korvane::api
