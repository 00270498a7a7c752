// The shared steps of the administration managers: calling _request and reading its answers.
#include "api/operations.hpp"

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "api/answers.hpp"
#include "records/from_json.hpp"
#include "records/records.hpp"

namespace korvane::api {

std::string Call::describe() const {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(path.ptr(), &size);
    if (!text) throw nb::python_error();
    return std::string(method) + " " + std::string(text, static_cast<size_t>(size));
}

namespace {

nb::object call_request(nb::handle request, const Call& call) {
    nb::dict kwargs;
    kwargs["method"] = call.method;
    kwargs["path"] = call.path;
    if (call.params.is_valid()) kwargs["params"] = call.params;
    if (call.json.is_valid()) kwargs["json"] = call.json;
    if (call.files.is_valid()) kwargs["files"] = call.files;
    if (call.raw_response) kwargs["raw_response"] = true;
    PyObject* answer = PyObject_Call(request.ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!answer) throw nb::python_error();
    return nb::steal(answer);
}

// One prepared reader per record class and list member, made on first use and kept for the
// process (never destroyed, like the record classes whose values its readers keep).
const records::JsonRecords& list_reader(const char* record, const char* member) {
    using Readers = std::map<std::pair<std::string, std::string>, std::unique_ptr<records::JsonRecords>>;
    static Readers& readers = *new Readers();
    auto& reader = readers[{record, member}];
    if (!reader) reader = std::make_unique<records::JsonRecords>(record, records::JsonRecords::Layout::List, member);
    return *reader;
}

}  // namespace

nb::object send(nb::handle manager, const Call& call) {
    return call_request(nb::getattr(nb::getattr(manager, "_client"), "_request"), call);
}

nb::list list_records(nb::handle manager, const Call& call, const char* record, const char* member) {
    nb::object client = nb::getattr(manager, "_client");
    nb::object request = nb::getattr(client, "_request");
    nb::object answer;
    if (is_own_request(client, request)) {
        nb::object records;
        answer = request_for_records(client, call, list_reader(record, member), records);
        if (records.is_valid()) return nb::borrow<nb::list>(records);
    } else {
        answer = call_request(request, call);
    }
    return records_from_list(record, member, answer, call);
}

nb::dict answer_object(nb::handle answer, const Call& call) {
    // The description is built only when the answer is wrong.
    return PyDict_Check(answer.ptr()) ? nb::borrow<nb::dict>(answer) : expect_object(answer, call.describe());
}

nb::object record_from(const char* record, nb::handle answer, const Call& call) {
    return records::from_mapping(records::record_class(record), answer_object(answer, call));
}

nb::list records_from_list(const char* record, const char* member, nb::handle answer, const Call& call) {
    const std::string what = call.describe();
    nb::list items = expect_list(answer, member, what);
    return records_from(records::record_class(record), items, "an element of " + what);
}

nb::object record_body(const char* record, nb::dict fields) {
    nb::handle cls = records::record_class(record);
    PyObject* built = PyObject_Call(cls.ptr(), nb::tuple().ptr(), fields.ptr());
    if (!built) throw nb::python_error();
    return records::dump(nb::steal(built), /*exclude_none=*/true);
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

nb::object date_text(nb::handle value, const char* name) {
    if (PyUnicode_Check(value.ptr())) return nb::borrow(value);
    if (nb::hasattr(value, "isoformat")) return nb::getattr(value, "isoformat")();
    PyErr_Format(PyExc_TypeError, "%s must be a datetime or an ISO 8601 text, not %s", name,
                 Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

}  // namespace korvane::api
