// Builds request paths by plain concatenation, choosing the tenant-scoped twin by the tenant id.
#include "api/admin/paths.hpp"
#include "py/raise.hpp"

namespace korvane::api {

PathPiece::PathPiece(const char* text) : text_(nb::str(text)) {}

PathPiece::PathPiece(nb::handle identifier) {
    PyObject* text = PyObject_Str(identifier.ptr());
    if (!text) throw nb::python_error();
    text_ = nb::steal(text);
}

PathPiece PathPiece::resource(nb::handle identifier, const char* parameter) {
    PathPiece piece(identifier);
    if (PyUnicode_GET_LENGTH(piece.text_.ptr()) == 0) {
        py::raise(PyExc_ValueError, "%s must not be empty: an empty identifier names no single resource", parameter);
    }
    return piece;
}

namespace {

nb::str join(std::initializer_list<PathPiece> head, std::initializer_list<PathPiece> tail) {
    nb::list parts;
    for (const PathPiece& piece : head) parts.append(piece.text());
    for (const PathPiece& piece : tail) parts.append(piece.text());
    PyObject* joined = PyUnicode_Join(nb::str("").ptr(), parts.ptr());
    if (!joined) throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

}  // namespace

nb::str join_path(std::initializer_list<PathPiece> pieces) { return join(pieces, {}); }

nb::str api_path(nb::handle tenant_id, std::initializer_list<PathPiece> rest) {
    int scoped = PyObject_IsTrue(tenant_id.ptr());
    if (scoped < 0) throw nb::python_error();
    if (!scoped) return join({"/api/v1"}, rest);
    return join({"/api/v1/tenants/", tenant_id}, rest);
}

}  // namespace korvane::api
