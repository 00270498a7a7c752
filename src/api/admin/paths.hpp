// Request paths of the administration APIs: identifiers in their text form and tenant-scoped twins.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>

namespace korvane::api {

namespace nb = nanobind;

// One piece of a path: fixed text, or an identifier put in as its str(), unescaped.
class PathPiece {
public:
    PathPiece(const char* text);
    PathPiece(nb::handle identifier);
    nb::handle text() const { return text_; }

    // The identifier of the one resource an operation acts on, named `parameter` in errors. Its
    // text form must not be empty: the path would then address the whole collection (a DELETE of
    // "/api/v1/feedback/"). Raises ValueError before anything is sent.
    static PathPiece resource(nb::handle identifier, const char* parameter);

private:
    nb::object text_;
};

// The pieces joined as they stand: no escaping, no normalisation.
nb::str join_path(std::initializer_list<PathPiece> pieces);

// "/api/v1" + rest, or "/api/v1/tenants/" + tenant id + rest when `tenant_id` is truthy
// (None and the empty text both select the global path).
nb::str api_path(nb::handle tenant_id, std::initializer_list<PathPiece> rest);

}  // namespace korvane::api
