// Turns Session.request's Python arguments into a RequestPlan, refusing what cannot be sent.
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "http/errors.hpp"
#include "http/headers.hpp"
#include "http/request_plan.hpp"
#include "http/trust.hpp"
#include "http/url.hpp"
#include "json/json.hpp"
#include "py/checks.hpp"
#include "py/raise.hpp"
#include "py/text.hpp"

namespace korvane::http {
namespace {

constexpr const char* kUserAgent = "korvane-sdk-python/1.0.0";

bool is_token_char(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_token(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!is_token_char(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

[[noreturn]] void value_error(const char* message) { py::raise_text(PyExc_ValueError, message); }

std::string plan_method(nb::handle method) {
    if (!PyUnicode_Check(method.ptr()) && !PyBytes_Check(method.ptr())) {
        py::raise(PyExc_TypeError, "method must be str, not %s", Py_TYPE(method.ptr())->tp_name);
    }
    std::string text = py::text_bytes(method);
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (!is_token(text)) value_error("Invalid HTTP method: it must be a non-empty token such as GET or POST");
    return text;
}

std::string plan_url(nb::handle url, nb::handle params) {
    std::string text = py::text_bytes(url);
    size_t first = text.find_first_not_of(" \t\r\n\f\v");
    text.erase(0, first == std::string::npos ? text.size() : first);
    std::string escaped = escape_url(text);
    append_query(escaped, params);
    check_url(escaped);
    return escaped;
}

// Seconds as whole milliseconds (at least one); 0 for no limit.
long timeout_ms(nb::handle value, const char* which) {
    if (value.is_none()) return 0;
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        py::raise(PyExc_TypeError, "%s timeout must be a number of seconds or None, not %s", which,
                  Py_TYPE(value.ptr())->tp_name);
    }
    if (std::isnan(seconds) || seconds <= 0) {
        py::raise(PyExc_ValueError, "%s timeout must be greater than 0 seconds", which);
    }
    constexpr double kLongest = 30.0 * 24 * 3600;  // beyond a month means no limit
    if (seconds >= kLongest) return 0;
    return std::max(1L, static_cast<long>(std::ceil(seconds * 1000)));
}

void plan_timeouts(RequestPlan& plan, nb::handle timeout) {
    if (PyTuple_Check(timeout.ptr())) {
        if (PyTuple_GET_SIZE(timeout.ptr()) != 2)
            value_error("timeout must be a number, None or a (connect, read) pair");
        plan.connect_timeout_ms = timeout_ms(PyTuple_GET_ITEM(timeout.ptr(), 0), "connect");
        plan.read_timeout_ms = timeout_ms(PyTuple_GET_ITEM(timeout.ptr(), 1), "read");
        return;
    }
    plan.connect_timeout_ms = plan.read_timeout_ms = timeout_ms(timeout, "the");
}

// Header values go out as Latin-1 when they can, else as UTF-8.
std::string header_value_bytes(nb::handle value) {
    if (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) {
        return PyBytes_Check(value.ptr())
                   ? std::string(PyBytes_AS_STRING(value.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(value.ptr())))
                   : std::string(PyByteArray_AS_STRING(value.ptr()),
                                 static_cast<size_t>(PyByteArray_GET_SIZE(value.ptr())));
    }
    nb::object latin1 = nb::steal(PyUnicode_AsLatin1String(value.ptr()));
    if (latin1.is_valid()) {
        return std::string(PyBytes_AS_STRING(latin1.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(latin1.ptr())));
    }
    PyErr_Clear();
    return py::text_bytes(value);
}

struct GivenHeaders {
    bool content_type = false;
    bool user_agent = false;
    bool accept = false;
};

// Adds the caller's headers; a name or value that would break the request is refused, and the
// message never repeats the value (it may be a secret such as an API key).
GivenHeaders plan_headers(RequestPlan& plan, nb::handle headers) {
    GivenHeaders given;
    if (headers.is_none()) return given;
    if (!PyDict_Check(headers.ptr()) && !nb::hasattr(headers, "items")) {
        py::raise(PyExc_TypeError, "headers must be a mapping of names to values, not %s",
                  Py_TYPE(headers.ptr())->tp_name);
    }
    nb::object items = PyDict_Check(headers.ptr()) ? nb::steal(PyDict_Items(headers.ptr())) : headers.attr("items")();
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle item : nb::iter(items)) {
        nb::object pair = nb::steal(PySequence_Tuple(item.ptr()));
        if (!pair.is_valid()) throw nb::python_error();
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) value_error("headers must be a mapping of names to values");
        nb::handle name_obj = PyTuple_GET_ITEM(pair.ptr(), 0);
        nb::handle value_obj = PyTuple_GET_ITEM(pair.ptr(), 1);
        if (value_obj.is_none()) continue;  // a None value leaves the header out
        if (!PyUnicode_Check(name_obj.ptr()) && !PyBytes_Check(name_obj.ptr())) {
            raise_error(ErrorKind::InvalidHeader, "Header names must be str or bytes");
        }
        std::string name = py::text_bytes(name_obj);
        if (!is_token(name)) {
            raise_error(ErrorKind::InvalidHeader,
                        "Invalid header name: it must be a non-empty token without spaces, colons or line breaks");
        }
        if (!PyUnicode_Check(value_obj.ptr()) && !PyBytes_Check(value_obj.ptr()) &&
            !PyByteArray_Check(value_obj.ptr())) {
            raise_error(ErrorKind::InvalidHeader, "Value of header '" + name + "' must be str or bytes, not " +
                                                      Py_TYPE(value_obj.ptr())->tp_name);
        }
        std::string value = header_value_bytes(value_obj);
        if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            raise_error(ErrorKind::InvalidHeader,
                        "Invalid value of header '" + name + "': it contains a line break or NUL character");
        }
        size_t first = value.find_first_not_of(" \t");
        size_t last = value.find_last_not_of(" \t");
        value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
        given.content_type |= equals_ignoring_case(name, "Content-Type");
        given.user_agent |= equals_ignoring_case(name, "User-Agent");
        given.accept |= equals_ignoring_case(name, "Accept");
        // "Name;" is libcurl's way to send a header with an empty value ("Name:" would remove it).
        std::string line;
        line.reserve(name.size() + value.size() + 2);
        line.append(name).append(value.empty() ? ";" : ": ").append(value);
        plan.headers.append(line.c_str());
    }
    return given;
}

using py::truthy;

// libcurl reads http_proxy, https_proxy, all_proxy and no_proxy itself but, unlike mainstream
// clients, not the upper-case HTTP_PROXY; take that one here (except under CGI, where a request
// header could set it).
void plan_proxy(RequestPlan& plan) {
    if (plan.url.compare(0, 7, "http://") != 0 && plan.url.compare(0, 7, "HTTP://") != 0) return;
    if (std::getenv("http_proxy") || std::getenv("REQUEST_METHOD")) return;
    const char* upper = std::getenv("HTTP_PROXY");
    if (upper && *upper) plan.proxy = upper;
}

}  // namespace

RequestPlan plan_request(nb::handle method, nb::handle url, nb::handle params, nb::handle json, nb::handle files,
                         nb::handle headers, nb::handle timeout, bool stream, nb::handle verify) {
    RequestPlan plan;
    plan.method = plan_method(method);
    plan.url = plan_url(url, params);
    plan.stream = stream;
    plan_timeouts(plan, timeout);
    plan_trust(plan, verify);
    plan_proxy(plan);
    GivenHeaders given = plan_headers(plan, headers);

    std::string content_type;
    if (!files.is_none() && truthy(files)) {
        plan.multipart = std::make_unique<MultipartBody>(files);
        plan.has_body = true;
        content_type = plan.multipart->content_type();
    } else if (!json.is_none()) {
        json::write(json, plan.body);
        plan.has_body = true;
        content_type = "application/json";
    } else if (plan.method != "GET" && plan.method != "HEAD") {
        plan.has_body = true;  // an empty body with "Content-Length: 0", as mainstream clients send
    }
    if (!given.content_type) {
        // An empty "Content-Type:" stops libcurl from adding its form content type.
        std::string line = "Content-Type: " + content_type;
        if (content_type.empty()) line = "Content-Type:";
        if (plan.has_body) plan.headers.append(line.c_str());
    }
    if (!given.accept) plan.headers.append("Accept: */*");
    if (!given.user_agent) plan.headers.append((std::string("User-Agent: ") + kUserAgent).c_str());
    if (plan.has_body) plan.headers.append("Expect:");  // no 100-continue round trip
    return plan;
}

}  // namespace korvane::http
