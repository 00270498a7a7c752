// Answers: the status -> error mapping of _handle_error, and bodies read by _handle_response.
#include "api/client/handle_answer.hpp"

#include <ctime>
#include <stdexcept>
#include <string_view>

#include "api/client/request_context.hpp"
#include "api/client/retry_after.hpp"
#include "errors/errors.hpp"
#include "http/response.hpp"
#include "json/json.hpp"
#include "records/from_json.hpp"

namespace korvane::api {

using errors::Kind;

long status_of(nb::handle response) { return nb::cast<long>(nb::getattr(response, "status_code")); }

nb::object retry_after_of(nb::handle response) {
    nb::object value = nb::getattr(response, "headers").attr("get")("Retry-After");
    if (value.is_none()) return nb::none();
    nb::str text = nb::str(value);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    auto seconds = parse_retry_after(std::string_view(data, static_cast<size_t>(size)), std::time(nullptr));
    return seconds ? nb::object(nb::int_(*seconds)) : nb::none();
}

nb::object handle_response(nb::handle client, nb::handle response, nb::handle raw) {
    long status = status_of(response);
    if (status >= 400 && status <= 599) nb::getattr(client, "_handle_error")(response);
    if (PyObject_IsTrue(raw.ptr()) == 1) return nb::getattr(response, "text");
    try {
        return nb::getattr(response, "json")();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return nb::getattr(response, "text");
}

nb::object handle_response_into_records(nb::handle client, nb::handle response, http::Response& own,
                                        const records::JsonRecords& reader, nb::object& records) {
    long status = own.status_code();
    if (status >= 400 && status <= 599) nb::getattr(client, "_handle_error")(response);
    try {
        return own.read_body([&](std::string_view body) -> nb::object {
            records = reader.read(body);
            return records.is_valid() ? nb::none() : json::parse(body);
        });
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return nb::getattr(response, "text");
}

void handle_error(nb::handle client, nb::handle response) {
    (void)client;
    long status = status_of(response);
    nb::object message, code = nb::none();
    try {
        nb::object body = nb::getattr(response, "json")();
        if (!PyDict_Check(body.ptr())) throw std::invalid_argument("not an object");
        nb::dict fields = nb::borrow<nb::dict>(body);
        if (fields.contains("detail")) {
            message = fields["detail"];
        } else if (fields.contains("message")) {
            message = fields["message"];
        } else {
            message = nb::str("Unknown error");
        }
        if (fields.contains("error_code")) code = fields["error_code"];
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        message = nb::object();
    } catch (const std::invalid_argument&) {
        message = nb::object();
    }
    if (!message.is_valid()) {
        nb::object text = nb::getattr(response, "text");
        message = PyObject_IsTrue(text.ptr()) == 1 ? text : nb::object(nb::str("HTTP {}").format(status));
    }

    nb::tuple args = nb::make_tuple(message);
    nb::dict kwargs;
    nb::object error;
    switch (status) {
        case 401: {
            nb::dict details;
            details["status_code"] = status;
            kwargs["details"] = details;
            error = errors::make(Kind::Authentication, args, kwargs);
            break;
        }
        case 429:
            kwargs["retry_after"] = retry_after_of(response);
            error = errors::make(Kind::RateLimit, args, kwargs);
            break;
        case 400: error = errors::make(Kind::InvalidRequest, args); break;
        case 404: error = errors::make(Kind::NotFound, args); break;
        default:
            if (status >= 500) {
                error = errors::make(Kind::Server, args);
                nb::setattr(error, "http_status", nb::int_(status));
            } else {
                kwargs["http_status"] = status;
                kwargs["error_code"] = code;
                error = errors::make(Kind::Korvane, args, kwargs);
            }
    }
    add_answer_context(error, response);
    errors::raise(error);
}

}  // namespace korvane::api
