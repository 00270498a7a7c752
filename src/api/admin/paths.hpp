// Request paths of the administration APIs: identifiers as escaped path segments, and the
// tenant-scoped twins.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>

namespace korvane::api {

namespace nb = nanobind;

// One piece of a path: fixed text, or the identifier of one resource as one escaped segment.
class PathPiece {
public:
    PathPiece(const char* text) : text_(text) {}
    const std::string& text() const { return text_; }

    // The identifier of the one resource an operation acts on, named `parameter` in errors: its
    // str(), UTF-8, percent-encoded as one path segment, so an id holding "/", "?", "#" or "%"
    // still names that one resource and can never reach another path. Raises ValueError before
    // anything is sent when the text is empty (the path would address the whole collection: a
    // DELETE of "/api/v1/feedback/") or is "." or ".." (a server reads those as dot-segments,
    // escaped or not: "../../x" would leave the tenant).
    static PathPiece resource(nb::handle identifier, const char* parameter);

private:
    PathPiece() = default;
    std::string text_;
};

// The pieces joined as they stand.
nb::str join_path(std::initializer_list<PathPiece> pieces);

// "/api/v1" + rest, or "/api/v1/tenants/" + the tenant id (a resource, as above) + rest when
// `tenant_id` is truthy (None and the empty text both select the global path).
nb::str api_path(nb::handle tenant_id, std::initializer_list<PathPiece> rest);

}  // namespace korvane::api
