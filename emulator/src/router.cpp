// Matching of request paths against registered segment patterns.
#include "router.hpp"

#include <algorithm>

namespace korvane::emulator {

std::vector<std::string_view> split_path(std::string_view path) {
    std::vector<std::string_view> out;
    if (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (path.empty()) return out;
    std::size_t start = 0;
    while (true) {
        auto slash = path.find('/', start);
        out.push_back(path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return out;
}

void Router::add(std::string method, std::string_view pattern, Access access, Handler handler) {
    Route route{std::move(method), {}, access, std::move(handler)};
    for (auto segment : split_path(pattern)) route.segments.emplace_back(segment);
    routes_.push_back(std::move(route));
}

void Router::add_scoped(const std::string& method, std::string_view rest, Handler handler) {
    add(method, "/api/v1/" + std::string(rest), Access::admin, handler);
    add(method, "/api/v1/tenants/:tenant_id/" + std::string(rest), Access::own_tenant, std::move(handler));
}

RouteMatch Router::match(std::string_view method, std::string_view path) const {
    if (method == "HEAD") method = "GET";
    auto segments = split_path(path);
    RouteMatch result;
    for (const Route& route : routes_) {
        if (route.segments.size() != segments.size()) continue;
        RouteParams params;
        bool fits = true;
        for (std::size_t i = 0; i < segments.size() && fits; ++i) {
            const std::string& want = route.segments[i];
            if (!want.empty() && want.front() == ':') {
                params.emplace(want.substr(1), std::string(segments[i]));
            } else {
                fits = want == segments[i];
            }
        }
        if (!fits) continue;
        if (route.method == method) {
            result.route = &route;
            result.params = std::move(params);
            result.allowed_methods.clear();
            return result;
        }
        if (std::find(result.allowed_methods.begin(), result.allowed_methods.end(), route.method) ==
            result.allowed_methods.end()) {
            result.allowed_methods.push_back(route.method);
        }
    }
    return result;
}

}  // namespace korvane::emulator
