// The client's request methods as Python sees them: each is the seam its contract (seam.hpp) names,
// bound to the blocking driver and the shared pieces.
#include "api/chat/completions.hpp"
#include "api/client/answer_shape.hpp"
#include "api/client/attempts.hpp"
#include "api/client/blocking.hpp"
#include "api/client/client.hpp"
#include "api/client/handle_answer.hpp"
#include "api/client/plan.hpp"
#include "api/client/seam.hpp"
#include "py/types.hpp"
#include "records/records.hpp"

namespace korvane::api {
namespace {

nb::object request(nb::handle self, nb::handle method, nb::handle path, nb::handle params, nb::handle json,
                   nb::handle files, nb::handle raw_response) {
    return blocking::request(self, method, path, params, json, files, raw_response, nullptr);
}

nb::list models_of(nb::handle answer) {
    nb::list data = expect_list(expect_object(answer, "GET /v1/models"), "data", "GET /v1/models");
    return records_from(records::record_class(records::Record::ModelInfo), data, "a model of GET /v1/models");
}

nb::object models_of_call(nb::handle answer, nb::handle client) {
    return read_answer_of(client, "GET", nb::str("/v1/models"), [&] { return nb::object(models_of(answer)); });
}

nb::list list_models(nb::handle self) {
    const Call call{"GET", nb::str("/v1/models")};
    nb::object answer = Seams(self).request(call);
    return read_answer(self, call, [&] { return models_of(answer); });
}

}  // namespace

void bind_requests(nb::module_& m, nb::handle cls) {
    remember_transport_module(m);
    py::add_method(cls, "_get_headers", &default_headers, "Get request headers.");
    py::add_method(cls, "_get_base_url", &base_url_for, nb::arg("path"), "Get base URL for a path.");
    py::add_method(cls, "_request", &request, nb::arg("method"), nb::arg("path"), nb::arg("params") = nb::none(),
                   nb::arg("json") = nb::none(), nb::arg("files") = nb::none(), nb::arg("raw_response") = false,
                   "Make an HTTP request.");
    py::add_method(cls, "_request_stream", &blocking::request_stream, nb::arg("method"), nb::arg("path"),
                   nb::arg("json") = nb::none(), "Make a streaming HTTP request.");
    py::add_method(cls, "_handle_response", &handle_response, nb::arg("response"), nb::arg("raw") = false,
                   "Handle API response.");
    py::add_method(cls, "_handle_error", &handle_error, nb::arg("response"), "Handle error response.");
    py::add_method(cls, "list_models", &list_models, "List available models.");
    remember_own_methods(cls);
    // The finish steps of the client's own operations, for the asyncio client.
    m.def("_models_of", &models_of_call, nb::arg("answer").none(), nb::arg("client").none() = nb::none(),
          "The records of list_models() from its answer (an unexpected answer named as the client's request).");
    m.def(
        "_completion_of",
        [](nb::handle answer, nb::handle payload, nb::handle client) {
            return read_answer_of(client, "POST", nb::str("/v1/chat/completions"),
                                  [&] { return completion_from_answer(answer, payload); });
        },
        nb::arg("answer").none(), nb::arg("payload"), nb::arg("client").none() = nb::none(),
        "The ChatCompletion of a non-streaming create() from its answer (an unexpected answer named as the "
        "client's request).");
}

}  // namespace korvane::api
