// Path-segment routing with captures, and the access rule each route needs.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::emulator {

class RequestContext;

// Who may call a route.
enum class Access {
    any_key,     // admin or any tenant key (the /v1 proxy paths)
    own_tenant,  // admin, or the key of the tenant named by the path's :tenant_id
    admin,       // the admin key only
};

using RouteParams = std::map<std::string, std::string, std::less<>>;
using Handler = std::function<void(RequestContext&)>;

struct Route {
    std::string method;
    std::vector<std::string> segments;  // ":name" captures one segment
    Access access;
    Handler handler;
};

struct RouteMatch {
    const Route* route = nullptr;
    RouteParams params;
    std::vector<std::string> allowed_methods;  // filled when the path is known but the method is not
};

class Router {
public:
    void add(std::string method, std::string_view pattern, Access access, Handler handler);

    // Registers "/api/v1/<rest>" for the admin and its twin
    // "/api/v1/tenants/:tenant_id/<rest>" for that tenant.
    void add_scoped(const std::string& method, std::string_view rest, Handler handler);

    // First route in registration order whose pattern and method fit; HEAD
    // matches GET routes.
    RouteMatch match(std::string_view method, std::string_view path) const;

private:
    std::vector<Route> routes_;
};

// "/a/b/" -> {"a", "b"}; one trailing slash is ignored, inner empty segments kept.
std::vector<std::string_view> split_path(std::string_view path);

}  // namespace korvane::emulator
