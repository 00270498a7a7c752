// korvane_sdk.http.Session: shared settings and pooled transfers; the module's binding entry point.
#include <nanobind/nanobind.h>
#include <nanobind/stl/unique_ptr.h>

#include <memory>
#include <optional>

#include "bindings.hpp"
#include "http/aio/aio.hpp"
#include "http/errors.hpp"
#include "http/exchange.hpp"
#include "http/headers.hpp"
#include "http/request_plan.hpp"
#include "http/response.hpp"
#include "http/transfer_pool.hpp"
#include "py/raise.hpp"
#include "py/signed_method.hpp"

namespace korvane::http {
namespace {

struct Session {
    // libcurl is loaded and initialised by the first session, so importing the module stays cheap.
    Session() { ensure_curl_initialised(); }

    std::shared_ptr<TransferPool> pool = std::make_shared<TransferPool>();
    nb::object verify = nb::bool_(true);
    // A whole answer body is held in memory; past this many bytes it is refused.
    static constexpr size_t kDefaultMaxBody = size_t{1} << 30;
    size_t max_body = kDefaultMaxBody;

    std::unique_ptr<Response> request(nb::handle method, nb::handle url, nb::handle params, nb::handle json,
                                      nb::handle files, nb::handle headers, nb::handle timeout, nb::handle stream) {
        if (pool->closed()) raise_error(ErrorKind::SessionClosed, "Session is closed");
        int streaming = PyObject_IsTrue(stream.ptr());
        if (streaming < 0) throw nb::python_error();
        RequestPlan plan = plan_request(method, url, params, json, files, headers, timeout, streaming == 1, verify);
        plan.max_body = max_body;
        auto exchange = std::make_unique<Exchange>(pool, std::move(plan));
        Failure failure;
        bool ok;
        {
            nb::gil_scoped_release release;
            ok = exchange->start(failure) &&
                 exchange->pump(streaming ? Exchange::Until::Headers : Exchange::Until::End, failure);
        }
        if (!ok && streaming && exchange->has_final_headers() && !failure.python_error) {
            ok = true;  // the answer began: its body reports the failure when it is read
        }
        if (!ok) {
            std::optional<nb::python_error> pending;
            if (failure.python_error) pending.emplace();
            exchange.reset();  // with the GIL: the upload may hold Python buffers
            if (pending) throw *pending;
            raise_error(failure);
        }
        return std::make_unique<Response>(std::move(exchange));
    }
};

}  // namespace

void bind_library_versions(nb::module_& m);  // library_versions.cpp

void bind(nb::module_& m) {
    bind_library_versions(m);
    bind_headers(m);
    bind_response(m);
    bind_loop(m);
    nb::class_<Session>(m, "Session", nb::dynamic_attr(),
                        // The leading "Session()\n--\n\n" is CPython's signature header: Python 3.10's
                        // inspect reads it from a type that defines its own __new__, as this one does.
                        "Session()\n--\n\n"
                        "Sends HTTP requests, keeping connections alive for reuse; safe to share between threads.")
        .def(nb::init<>())
        .def_prop_rw(
            "verify", [](Session& s) { return s.verify; },
            [](Session& s, nb::object value) { s.verify = std::move(value); }, nb::for_setter(nb::arg("value").none()),
            "TLS verification: false turns it off; a path names the CA bundle file or directory to trust; "
            "true trusts REQUESTS_CA_BUNDLE or CURL_CA_BUNDLE when set, else the system's store (which "
            "SSL_CERT_FILE and SSL_CERT_DIR may replace).")
        .def_prop_rw(
            "max_body_size", [](Session& s) { return s.max_body; },
            [](Session& s, nb::handle value) {
                if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
                    py::raise(PyExc_TypeError, "max_body_size must be an int, not %s", Py_TYPE(value.ptr())->tp_name);
                }
                size_t bytes = PyLong_AsSize_t(value.ptr());
                if (bytes == static_cast<size_t>(-1) && PyErr_Occurred()) {
                    PyErr_Clear();
                    py::raise_text(PyExc_ValueError, "max_body_size must be a positive number of bytes");
                }
                if (bytes == 0) {
                    py::raise_text(PyExc_ValueError, "max_body_size must be a positive number of bytes");
                }
                s.max_body = bytes;
            },
            nb::for_setter(nb::arg("value").none()),
            "Most bytes of an answer body held in memory at once (default 1 GiB): a larger whole body,\n"
            "or more unread bytes of a stream, ends the request with RequestException.")
        .def("request", &Session::request, nb::arg("method"), nb::arg("url"), nb::arg("params") = nb::none(),
             nb::arg("json") = nb::none(), nb::arg("files") = nb::none(), nb::arg("headers") = nb::none(),
             nb::arg("timeout") = nb::none(), nb::arg("stream") = false,
             "Send a request and return its Response. With a true `stream` it returns once the headers\n"
             "have arrived and the body is read as it is used.")
        .def(
            "close", [](Session& s) { s.pool->close(); }, "Close pooled connections; later requests are refused.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__exit__", [](Session& s, nb::handle, nb::handle, nb::handle) { s.pool->close(); },
            nb::arg("exc_type").none(), nb::arg("exc_value").none(), nb::arg("traceback").none());

    py::sign_methods(m.attr("Session"));
    for (const char* name : {"Session", "Response", "Headers", "_LineIterator"}) {
        m.attr(name).attr("__module__") = "korvane_sdk.http";
    }
}

}  // namespace korvane::http
