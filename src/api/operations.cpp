// The shared steps of the administration managers: calling _request and reading its answers.
#include "api/operations.hpp"

#include "api/answers.hpp"
#include "records/records.hpp"

namespace korvane::api {

std::string Call::describe() const {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(path.ptr(), &size);
    if (!text) throw nb::python_error();
    return std::string(method) + " " + std::string(text, static_cast<size_t>(size));
}

nb::object send(nb::handle manager, const Call& call) {
    nb::dict kwargs;
    kwargs["method"] = call.method;
    kwargs["path"] = call.path;
    if (call.params.is_valid()) kwargs["params"] = call.params;
    if (call.json.is_valid()) kwargs["json"] = call.json;
    if (call.files.is_valid()) kwargs["files"] = call.files;
    if (call.raw_response) kwargs["raw_response"] = true;
    nb::object request = nb::getattr(nb::getattr(manager, "_client"), "_request");
    PyObject* answer = PyObject_Call(request.ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!answer) throw nb::python_error();
    return nb::steal(answer);
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
