// Builds request paths by concatenation of fixed pieces and escaped identifier segments, choosing
// the tenant-scoped twin by the tenant id.
#include "api/admin/paths.hpp"

#include "http/url.hpp"
#include "py/raise.hpp"
#include "py/text.hpp"

namespace korvane::api {

PathPiece PathPiece::resource(nb::handle identifier, const char* parameter) {
    const std::string text = py::text_bytes(PyBytes_Check(identifier.ptr()) ? nb::str(identifier) : identifier);
    if (text.empty()) {
        py::raise(PyExc_ValueError, "%s must not be empty: an empty identifier names no single resource", parameter);
    }
    if (http::is_dot_segment(text)) {
        py::raise(PyExc_ValueError, "%s must not be %R: a path segment of dots names no single resource", parameter,
                  nb::str(text.c_str()).ptr());
    }
    PathPiece piece;
    http::escape_segment(text, piece.text_);
    return piece;
}

namespace {

nb::str join(std::initializer_list<PathPiece> head, std::initializer_list<PathPiece> tail) {
    std::string path;
    for (const PathPiece& piece : head) path += piece.text();
    for (const PathPiece& piece : tail) path += piece.text();
    return nb::str(path.data(), path.size());  // ASCII: fixed pieces and escapes only
}

}  // namespace

nb::str join_path(std::initializer_list<PathPiece> pieces) { return join(pieces, {}); }

nb::str api_path(nb::handle tenant_id, std::initializer_list<PathPiece> rest) {
    int scoped = PyObject_IsTrue(tenant_id.ptr());
    if (scoped < 0) throw nb::python_error();
    if (!scoped) return join({"/api/v1"}, rest);
    return join({"/api/v1/tenants/", PathPiece::resource(tenant_id, "tenant_id")}, rest);
}

}  // namespace korvane::api
