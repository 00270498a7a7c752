// The client's request methods as Python sees them: each is the seam its contract (seam.hpp) names,
// bound to the blocking driver and the shared pieces.
#include "api/client/answer_shape.hpp"
#include "api/client/attempts.hpp"
#include "api/client/blocking.hpp"
#include "api/client/client.hpp"
#include "api/client/handle_answer.hpp"
#include "api/client/plan.hpp"
#include "api/client/seam.hpp"
#include "api/engine/engine.hpp"
#include "py/types.hpp"
#include "records/records.hpp"

namespace korvane::api {
namespace {

nb::list models_of(nb::handle answer) {
    nb::list data = expect_list(expect_object(answer, "GET /v1/models"), "data", "GET /v1/models");
    return records_from(records::record_class(records::Record::ModelInfo), data, "a model of GET /v1/models");
}

nb::object list_models(nb::handle self) {
    engine::WholeCall call = models_call(self, Driver::blocking);
    return blocking::drive(call);
}

}  // namespace

engine::WholeCall models_call(nb::handle client, Driver driver) {
    return engine::WholeCall(client, driver, Call{"GET", nb::str("/v1/models")},
                             [](nb::handle answer) { return nb::object(models_of(answer)); });
}

void bind_requests(nb::module_& m, nb::handle cls) {
    remember_transport_module(m);
    py::add_method(cls, "_get_headers", &default_headers, "Get request headers.");
    py::add_method(cls, "_get_base_url", &base_url_for, nb::arg("path"), "Get base URL for a path.");
    py::add_method(cls, "_request", &blocking::request, nb::arg("method"), nb::arg("path"),
                   nb::arg("params") = nb::none(), nb::arg("json") = nb::none(), nb::arg("files") = nb::none(),
                   nb::arg("raw_response") = false, "Make an HTTP request.");
    py::add_method(cls, "_request_stream", &blocking::request_stream, nb::arg("method"), nb::arg("path"),
                   nb::arg("json") = nb::none(), "Make a streaming HTTP request.");
    py::add_method(cls, "_handle_response", &handle_response, nb::arg("response"), nb::arg("raw") = false,
                   "Handle API response.");
    py::add_method(cls, "_handle_error", &handle_error, nb::arg("response"), "Handle error response.");
    py::add_method(cls, "list_models", &list_models, "List available models.");
    remember_own_methods(cls);
}

}  // namespace korvane::api
