// Bearer header parsing, admin key comparison and tenant key lookup.
#include "auth.hpp"

#include <cctype>
#include <string_view>

#include "store.hpp"

namespace korvane::emulator {
namespace {

// Compares without an early exit so timing does not reveal the key prefix.
bool same_key(std::string_view given, std::string_view expected) {
    if (expected.empty()) return false;
    std::size_t diff = given.size() ^ expected.size();
    for (std::size_t i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(expected[i % expected.size()]);
    }
    return diff == 0;
}

std::optional<std::string_view> bearer_token(std::string_view header) {
    constexpr std::string_view scheme = "bearer";
    if (header.size() <= scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) return std::nullopt;
    }
    header.remove_prefix(scheme.size());
    if (header.front() != ' ') return std::nullopt;
    auto start = header.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    header.remove_prefix(start);
    auto end = header.find_last_not_of(" \t");
    return header.substr(0, end + 1);
}

}  // namespace

std::optional<Principal> authenticate(const httplib::Request& req, const std::string& admin_key, Store& store) {
    if (!req.has_header("Authorization")) return std::nullopt;
    const std::string header = req.get_header_value("Authorization");
    auto token = bearer_token(header);
    if (!token) return std::nullopt;
    if (same_key(*token, admin_key)) return Principal{true, {}};
    auto lock = store.lock();
    auto it = store.tenant_keys.find(std::string(*token));
    if (it == store.tenant_keys.end()) return std::nullopt;
    return Principal{false, it->second};
}

bool may_access(const Principal& principal, Access access, const RouteParams& params) {
    if (principal.admin) return true;
    switch (access) {
        case Access::any_key: return true;
        case Access::own_tenant: {
            auto it = params.find("tenant_id");
            return it != params.end() && it->second == principal.tenant_id;
        }
        case Access::admin: return false;
    }
    return false;
}

std::string caller_name(const Principal& principal) { return principal.admin ? "admin" : principal.tenant_id; }

}  // namespace korvane::emulator
