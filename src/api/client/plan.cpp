// Request planning: the URL a call goes to and the headers it carries.
#include "api/client/plan.hpp"

namespace korvane::api {
namespace {

bool non_empty_text(nb::handle value) { return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0; }

bool starts_with(nb::handle text, const char* prefix) {
    if (!PyUnicode_Check(text.ptr())) return false;
    nb::object prefix_obj = nb::str(prefix);
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), prefix_obj.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

}  // namespace

nb::object base_url_for(nb::handle client, nb::handle path) {
    if (starts_with(path, "/v1/chat") || starts_with(path, "/v1/models")) return nb::getattr(client, "proxy_url");
    return nb::getattr(client, "api_url");
}

nb::dict default_headers(nb::handle client) {
    nb::dict headers;
    headers["Content-Type"] = "application/json";
    headers["User-Agent"] = "korvane-sdk-python/1.0.0";
    nb::object key = nb::getattr(client, "api_key");
    if (non_empty_text(key)) headers["Authorization"] = nb::str("Bearer ") + nb::str(key);
    return headers;
}

RequestPlan plan_request(nb::handle client, nb::handle path, nb::handle files) {
    nb::object base = nb::getattr(client, "_get_base_url")(path);
    PyObject* url = PyNumber_Add(base.ptr(), path.ptr());
    if (!url) throw nb::python_error();
    RequestPlan plan{nb::steal(url), nb::getattr(client, "_get_headers")()};
    bool has_files = !files.is_none() && PyObject_Length(files.ptr()) > 0;
    if (PyErr_Occurred()) throw nb::python_error();
    if (has_files) plan.headers.attr("pop")("Content-Type", nb::none());
    return plan;
}

}  // namespace korvane::api
