// The call engine as Python sees it, for tests that drive its rules directly (no sockets, no driver).
#include "api/client/client.hpp"
#include "api/engine/engine.hpp"

namespace korvane::api::engine {
namespace {

const char* name_of(Next next) {
    switch (next) {
        case Next::send: return "send";
        case Next::pause: return "pause";
        case Next::read: return "read";
        case Next::result: return "result";
        case Next::raise: return "raise";
    }
    return "?";
}

Driver driver_of(bool awaited) { return awaited ? Driver::awaited : Driver::blocking; }

}  // namespace

void bind_engine(nb::module_& m) {
    nb::class_<WholeCall>(m, "_CallEngine",
                          "One call's rules, fed events by hand: start(), then send() and answered(value) or "
                          "failed(exception), paused() after a pause; each gives the next step's name.")
        .def_static(
            "request",
            [](nb::handle client, nb::handle method, nb::handle path, nb::handle params, nb::handle json,
               nb::handle files, nb::handle raw_response, bool awaited) {
                return WholeCall::request_entry(client, driver_of(awaited), method, path, params, json, files,
                                                raw_response);
            },
            nb::arg("client"), nb::arg("method"), nb::arg("path"), nb::arg("params").none() = nb::none(),
            nb::arg("json").none() = nb::none(), nb::arg("files").none() = nb::none(), nb::arg("raw_response") = false,
            nb::arg("awaited") = false, "The engine of client._request(...) itself.")
        .def_static(
            "list_models", [](nb::handle client, bool awaited) { return models_call(client, driver_of(awaited)); },
            nb::arg("client"), nb::arg("awaited") = false, "The engine of client.list_models().")
        .def("start", [](WholeCall& call) { return name_of(call.start()); })
        .def("send", &WholeCall::send,
             "Performs the send step: what client._session.request (or a replaced "
             "_request) gave.")
        .def(
            "answered", [](WholeCall& call, nb::handle value) { return name_of(call.answered(value)); },
            nb::arg("value").none())
        .def(
            "failed",
            [](WholeCall& call, nb::handle exception) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
                nb::python_error failure;
                return name_of(call.failed(failure));
            },
            nb::arg("exception"))
        .def("paused", [](WholeCall& call) { return name_of(call.paused()); })
        .def_prop_ro("pause_seconds", &WholeCall::pause_seconds)
        .def("busy_answer", &WholeCall::busy_answer)
        .def("awaiting", &WholeCall::awaiting)
        .def("result", &WholeCall::take_result)
        .def("error", [](WholeCall& call) -> nb::object {
            try {
                call.raise_error();
            } catch (nb::python_error& error) {
                return nb::borrow(error.value());
            }
        });
}

}  // namespace korvane::api::engine
