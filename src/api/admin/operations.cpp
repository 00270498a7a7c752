// The shared steps of the administration managers: their calls for the call engine, and reading answers.
#include "api/admin/operations.hpp"

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "api/client/blocking.hpp"
#include "api/engine/awaitable.hpp"
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

engine::WholeCall operation_call(nb::handle manager, Driver driver, Prepared&& prepared) {
    nb::object client = nb::getattr(manager, "_client");
    const records::JsonRecords* reader = prepared.finish == Finish::List
                                             ? &list_reader(prepared.record, prepared.member)
                                             : nullptr;
    nb::object file = std::move(prepared.file);
    Call call = prepared.call;
    return engine::WholeCall(
        client, driver, std::move(call),
        [prepared = std::move(prepared)](nb::handle answer) { return finish(prepared, answer); }, reader,
        std::move(file));
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
    engine::WholeCall call = operation_call(manager, Driver::blocking, std::move(prepared));
    return blocking::drive(call);
}

nb::object awaited(nb::handle manager, Prepared&& prepared) {
    return engine::make_awaitable(operation_call(manager, Driver::awaited, std::move(prepared)));
}

void close_quietly(nb::handle file) noexcept {
    try {
        nb::getattr(file, "close")();
    } catch (...) {
    }
}

nb::dict operation_registry() {
    static nb::dict& registry = *new nb::dict();  // kept for the process, as the classes are
    return registry;
}

void bind_operations(nb::module_& m) { m.attr("_operations") = operation_registry(); }

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
