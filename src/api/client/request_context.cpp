// Request context on errors: which exchange failed, and what its answer said.
#include "api/client/request_context.hpp"

#include <string>

#include "errors/errors.hpp"

namespace korvane::api {
namespace {

// At most this many characters of a failed answer's body are kept on its error.
constexpr Py_ssize_t kErrorBodyLimit = Py_ssize_t{64} * 1024;

}  // namespace

nb::object shown_url(nb::handle url) {
    if (!PyUnicode_Check(url.ptr())) return nb::borrow(url);
    std::string text(nb::str(url).c_str());
    const size_t scheme = text.find("://");
    if (scheme == std::string::npos) return nb::borrow(url);
    const size_t start = scheme + 3;
    const size_t end = text.find_first_of("/?#", start);
    const size_t at = text.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start) return nb::borrow(url);
    text.erase(start, at + 1 - start);
    return nb::str(text.data(), text.size());
}

void add_request_context(nb::handle error, nb::handle method, nb::handle url) {
    if (!PyObject_IsInstance(error.ptr(), errors::type(errors::Kind::Korvane).ptr())) {
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    }
    add_exchange_context(error, method, url);
}

void add_exchange_context(nb::handle error, nb::handle method, nb::handle url) {
    if (!nb::getattr(error, "method", nb::none()).is_none()) return;
    nb::object shown = shown_url(url);
    nb::setattr(error, "method", method);
    nb::setattr(error, "url", shown);
    nb::str note = nb::str("{} {}").format(method, shown);
    nb::object status = nb::getattr(error, "http_status", nb::none());
    if (!status.is_none()) note = nb::str("{}: HTTP {}").format(note, status);
    nb::object request_id = nb::getattr(error, "request_id", nb::none());
    if (!request_id.is_none()) note = nb::str("{}, request id {}").format(note, request_id);
    errors::add_note(error, note);
}

void add_request_context(nb::python_error& failure, nb::handle method, nb::handle url) {
    nb::error_scope keep;  // the failure stays the exception in flight whatever happens here
    try {
        add_request_context(failure.value(), method, url);
    } catch (nb::python_error&) {
    }
}

void add_reading_context(nb::handle error, nb::handle client, nb::handle method, nb::handle path) {
    nb::object url = nb::borrow(path);
    try {
        nb::object base = nb::getattr(client, "_get_base_url")(path);
        PyObject* whole = PyNumber_Add(base.ptr(), path.ptr());
        if (!whole) throw nb::python_error();
        url = nb::steal(whole);
    } catch (nb::python_error&) {  // a replaced _get_base_url that fails: the path alone names the call
    }
    const int ours = PyObject_IsInstance(error.ptr(), errors::type(errors::Kind::Korvane).ptr());
    if (ours < 0) throw nb::python_error();
    if (ours) {
        add_request_context(error, method, url);
        return;
    }
    if (!PyErr_GivenExceptionMatches(error.type().ptr(), PyExc_ValueError) &&
        !PyErr_GivenExceptionMatches(error.type().ptr(), PyExc_TypeError)) {
        return;
    }
    errors::add_note(error, nb::str("{} {}: the answer does not fit the record").format(method, shown_url(url)));
}

void add_reading_context(nb::python_error& failure, nb::handle client, nb::handle method, nb::handle path) {
    nb::error_scope keep;  // the failure stays the exception in flight whatever happens here
    try {
        add_reading_context(failure.value(), client, method, path);
    } catch (nb::python_error&) {
    }
}

void add_answer_context(nb::handle error, nb::handle response) {
    auto attempt = [](auto&& step) {
        try {
            step();
        } catch (nb::python_error&) {
        }
    };
    attempt([&] {
        nb::object headers = nb::getattr(response, "headers");
        nb::object copy = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(headers);
        nb::setattr(error, "headers", copy);
        nb::object request_id = headers.attr("get")("X-Request-Id");
        if (request_id.is_none()) request_id = headers.attr("get")("x-request-id");
        nb::setattr(error, "request_id", request_id);
    });
    attempt([&] {
        nb::object text = nb::getattr(response, "text");
        if (PyUnicode_Check(text.ptr()) && PyUnicode_GET_LENGTH(text.ptr()) > kErrorBodyLimit) {
            PyObject* head = PyUnicode_Substring(text.ptr(), 0, kErrorBodyLimit);
            if (!head) throw nb::python_error();
            text = nb::steal(head);
        }
        nb::setattr(error, "body", text);
    });
}

}  // namespace korvane::api
