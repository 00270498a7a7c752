// Bearer-key authentication and the per-route access check.
#pragma once

#include <optional>
#include <string>

#include <httplib.h>

#include "router.hpp"

namespace korvane::emulator {

class Store;

struct Principal {
    bool admin = false;
    std::string tenant_id;  // set for a tenant key
};

// The caller behind the Authorization header, or nullopt when the header is
// missing, malformed or names no known key.
std::optional<Principal> authenticate(const httplib::Request& req, const std::string& admin_key, Store& store);

// The name limits and counters know a caller by: "admin", or the tenant's id.
std::string caller_name(const Principal& principal);

// Whether the principal may call a route of this access level with these
// path parameters.
bool may_access(const Principal& principal, Access access, const RouteParams& params);

}  // namespace korvane::emulator
