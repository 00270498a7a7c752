// Shape checks for decoded answers and building records from them.
#include "api/client/answer_shape.hpp"

#include <string>

#include "api/client/plan.hpp"
#include "api/client/request_context.hpp"
#include "errors/errors.hpp"
#include "records/records.hpp"

namespace korvane::api {
namespace {

[[noreturn]] void unexpected(std::string_view what, std::string_view expected, nb::handle got) {
    nb::str type_name = nb::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(got.ptr()))).attr("__name__"));
    nb::str message = nb::str("Unexpected answer for {}: expected {}, got {}")
                          .format(nb::str(what.data(), what.size()), nb::str(expected.data(), expected.size()),
                                  got.is_none() ? nb::str("null") : type_name);
    nb::dict kwargs;
    kwargs["error_code"] = "UNEXPECTED_RESPONSE";
    errors::raise(errors::make(errors::Kind::Korvane, nb::make_tuple(message), kwargs));
}

}  // namespace

nb::dict expect_object(nb::handle answer, std::string_view what) {
    if (!PyDict_Check(answer.ptr())) unexpected(what, "a JSON object", answer);
    return nb::borrow<nb::dict>(answer);
}

nb::list expect_list(nb::handle answer, const char* member, std::string_view what) {
    if (PyList_Check(answer.ptr())) return nb::borrow<nb::list>(answer);
    if (!PyDict_Check(answer.ptr())) unexpected(what, "a JSON array or object", answer);
    PyObject* items = PyDict_GetItemString(answer.ptr(), member);  // borrowed
    if (!items) return nb::list();
    if (!PyList_Check(items)) {
        unexpected(std::string(what) + " member '" + member + "'", "a JSON array", items);
    }
    return nb::borrow<nb::list>(items);
}

nb::list records_from(nb::handle cls, nb::handle items, std::string_view what) {
    nb::list out;
    for (nb::handle item : items) out.append(records::from_mapping(cls, expect_object(item, what)));
    return out;
}

nb::object read_answer_of(nb::handle client, const char* method, nb::handle path,
                          const std::function<nb::object()>& read) {
    try {
        return read();
    } catch (nb::python_error& failure) {
        if (client.is_valid() && !client.is_none()) add_reading_context(failure, client, nb::str(method), path);
        throw;
    }
}

}  // namespace korvane::api
