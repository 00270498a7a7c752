// Creates the transport exception classes and exports them from the extension module.
#include "http/errors.hpp"

#include <array>

#include "py/raise.hpp"
#include "util/lazy_names.hpp"

namespace korvane::http {
namespace {

struct ErrorInfo {
    ErrorKind kind;
    const char* name;       // as Python shows it
    const char* export_as;  // name in korvane_sdk._core (where the SDK's own errors live too)
    const char* doc;
};

constexpr std::array<ErrorInfo, 9> kErrors{{
    {ErrorKind::Request, "RequestException", "RequestException",
     "An error of the HTTP layer while handling a request."},
    {ErrorKind::Connection, "ConnectionError", "HTTPConnectionError",
     "The connection failed or was lost: name resolution, refusal, reset, TLS or proxy failure."},
    {ErrorKind::Timeout, "Timeout", "Timeout", "The request timed out, while connecting or waiting for data."},
    {ErrorKind::ConnectTimeout, "ConnectTimeout", "ConnectTimeout",
     "Connecting to the server timed out; both a connection error and a time-out."},
    {ErrorKind::ReadTimeout, "ReadTimeout", "ReadTimeout", "The server sent no data within the time-out."},
    {ErrorKind::InvalidURL, "InvalidURL", "InvalidURL", "The URL cannot be used for a request."},
    {ErrorKind::InvalidHeader, "InvalidHeader", "InvalidHeader",
     "A header name or value cannot be sent (for instance it holds a line break)."},
    {ErrorKind::ChunkedEncoding, "ChunkedEncodingError", "ChunkedEncodingError",
     "The answer body broke off or was malformed while it was being read."},
    {ErrorKind::SessionClosed, "SessionClosedError", "SessionClosedError",
     "The session was closed; it sends no more requests."},
}};

std::array<PyObject*, kErrors.size()> g_types{};  // owned for the life of the process

PyObject* create(const ErrorInfo& info, nb::handle bases) {
    std::string qualified = std::string("korvane_sdk.http.") + info.name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), info.doc, bases.ptr(), nullptr);
    if (!type) throw nb::python_error();
    return type;
}

// Builds the hierarchy and publishes it (g_types for C++, the module for Python) on first use;
// only one hierarchy is published even if another thread built one meanwhile.
void make_types() {
    if (g_types[0]) return;
    nb::error_scope pending;  // an error being matched against these classes survives
    std::array<nb::object, kErrors.size()> made;
    auto base = [&](ErrorKind kind) { return made[static_cast<size_t>(kind)]; };
    for (const ErrorInfo& info : kErrors) {
        nb::object bases;
        switch (info.kind) {
            case ErrorKind::Request: bases = nb::make_tuple(nb::handle(PyExc_OSError)); break;
            case ErrorKind::ConnectTimeout:
                bases = nb::make_tuple(base(ErrorKind::Connection), base(ErrorKind::Timeout));
                break;
            case ErrorKind::ReadTimeout: bases = nb::make_tuple(base(ErrorKind::Timeout)); break;
            case ErrorKind::InvalidURL:
            case ErrorKind::InvalidHeader:
                bases = nb::make_tuple(base(ErrorKind::Request), nb::handle(PyExc_ValueError));
                break;
            default: bases = nb::make_tuple(base(ErrorKind::Request)); break;
        }
        made[static_cast<size_t>(info.kind)] = nb::steal(create(info, bases));
    }
    if (g_types[0]) return;
    nb::handle module = util::LazyNames::module();
    for (const ErrorInfo& info : kErrors) {
        const auto i = static_cast<size_t>(info.kind);
        if (module.is_valid()) nb::setattr(module, info.export_as, made[i]);
        g_types[i] = made[i].release().ptr();
    }
}

PyObject* type_of(ErrorKind kind) {
    make_types();
    return g_types[static_cast<size_t>(kind)];
}

}  // namespace

nb::handle error_type(ErrorKind kind) { return type_of(kind); }

void raise_error(ErrorKind kind, const std::string& message) {
    nb::object text = nb::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text.is_valid()) throw nb::python_error();
    py::raise_object(type_of(kind), text.ptr());
}

// The classes are made on first use (make_types): here they are only declared.
void bind_errors(nb::module_& /*m*/) {
    for (const ErrorInfo& info : kErrors) util::LazyNames::add(info.export_as, &make_types);
}

}  // namespace korvane::http
