// The one place that tells the client's own seams from replacements and picks a call's route.
#include "api/client/seam.hpp"

#include "api/client/blocking.hpp"
#include "api/engine/stream_call.hpp"
#include "http/response.hpp"

namespace korvane::api {

std::string Call::describe() const {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(path.ptr(), &size);
    if (!text) throw nb::python_error();
    return std::string(method) + " " + std::string(text, static_cast<size_t>(size));
}

nb::dict Call::keywords() const {
    nb::dict kwargs;
    kwargs["method"] = method;
    kwargs["path"] = path;
    if (params.is_valid()) kwargs["params"] = params;
    if (json.is_valid()) kwargs["json"] = json;
    if (files.is_valid()) kwargs["files"] = files;
    if (raw_response) kwargs["raw_response"] = true;
    return kwargs;
}

namespace {

// The class's own functions (what `KorvaneClient._request` etc. give), set once when the class is
// made. Strong references kept for the process, as the class is: a replacement put on the class later
// must not leave these dangling.
// Indexed by [Driver][OwnMethod].
PyObject* g_own[2][3] = {};

// client._request(**call) as a Python call, with exactly the keywords the call sets.
nb::object call_python(nb::handle request, const Call& call) {
    nb::dict kwargs = call.keywords();
    PyObject* answer = PyObject_Call(request.ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!answer) throw nb::python_error();
    return nb::steal(answer);
}

nb::handle or_none(const nb::object& value) { return value.is_valid() ? nb::handle(value) : nb::handle(Py_None); }

}  // namespace

bool is_own(nb::handle bound, nb::handle client, OwnMethod which, Driver driver) {
    PyObject* own = g_own[static_cast<int>(driver)][static_cast<int>(which)];
    // Only a bound method object counts: anything else that merely looks like one is called as it is.
    if (!own || !PyMethod_Check(bound.ptr())) return false;
    return PyMethod_GET_FUNCTION(bound.ptr()) == own && PyMethod_GET_SELF(bound.ptr()) == client.ptr();
}

void remember_own_methods(nb::handle client_class, Driver driver) {
    PyObject** own = g_own[static_cast<int>(driver)];
    own[static_cast<int>(OwnMethod::request)] = nb::getattr(client_class, "_request").release().ptr();
    own[static_cast<int>(OwnMethod::request_stream)] = nb::getattr(client_class, "_request_stream").release().ptr();
    own[static_cast<int>(OwnMethod::handle_response)] = nb::getattr(client_class, "_handle_response").release().ptr();
}

http::Response* own_lines(nb::handle response) {
    return http::own_response(response, http::ResponseMethod::iter_lines);
}

http::Response* own_json(nb::handle response) { return http::own_response(response, http::ResponseMethod::json); }

nb::object request_stream(nb::handle client, const Call& call, engine::StreamCall& engine) {
    nb::object stream = nb::getattr(client, "_request_stream");
    if (is_own(stream, client, OwnMethod::request_stream)) return blocking::send_stream(client, engine);
    nb::object response = call_python(stream, call);
    engine.adopt(response);  // only the reading is the engine's then
    return response;
}

}  // namespace korvane::api
