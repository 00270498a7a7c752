// RequestContext helpers: scoping rules, query parsing and JSON answers.
#include "request_context.hpp"

#include <charconv>

#include "store.hpp"

namespace korvane::emulator {

void send_json(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(dump_json(body), "application/json");
}

void send_error(httplib::Response& res, const ApiError& error) {
    Json body{{"detail", error.detail()}};
    if (!error.code().empty()) body["error_code"] = error.code();
    send_json(res, error.status(), body);
}

const std::string& RequestContext::param(const char* name) const {
    auto it = params_.find(name);
    if (it == params_.end()) throw ApiError(500, std::string("Route has no parameter ") + name, "INTERNAL_ERROR");
    return it->second;
}

std::optional<std::string> RequestContext::scope() const {
    auto it = params_.find("tenant_id");
    if (it == params_.end()) return std::nullopt;
    return it->second;
}

std::string RequestContext::owner() const { return scope().value_or(default_tenant_id); }

bool RequestContext::sees(const std::string& tenant_id) const {
    auto scoped = scope();
    return !scoped || *scoped == tenant_id;
}

void RequestContext::require_scope_exists(const Store& store) const {
    if (auto scoped = scope(); scoped && store.tenants.find(*scoped) == nullptr) throw not_found("Tenant", *scoped);
}

std::optional<std::string> RequestContext::query(const char* key) const {
    if (!req.has_param(key)) return std::nullopt;
    return req.get_param_value(key);
}

std::optional<std::int64_t> RequestContext::query_opt_int(const char* key, std::int64_t lo, std::int64_t hi) const {
    auto text = query(key);
    if (!text) return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size() || value < lo || value > hi) {
        throw validation_error(std::string("Query parameter '") + key + "' must be an integer from " +
                               std::to_string(lo) + " to " + std::to_string(hi));
    }
    return value;
}

std::int64_t RequestContext::query_int(const char* key, std::int64_t fallback, std::int64_t lo, std::int64_t hi) const {
    return query_opt_int(key, lo, hi).value_or(fallback);
}

std::optional<bool> RequestContext::query_bool(const char* key) const {
    auto text = query(key);
    if (!text) return std::nullopt;
    if (*text == "True" || *text == "true" || *text == "1") return true;
    if (*text == "False" || *text == "false" || *text == "0") return false;
    throw validation_error(std::string("Query parameter '") + key + "' must be a boolean");
}

std::optional<Micros> RequestContext::query_time(const char* key) const {
    auto text = query(key);
    if (!text) return std::nullopt;
    auto parsed = parse_iso(*text);
    if (!parsed) throw validation_error(std::string("Query parameter '") + key + "' must be an ISO 8601 date-time");
    return parsed;
}

ApiError rate_limited(httplib::Response& res, const Refusal& refusal) {
    if (!refusal.retry_after_seconds) return ApiError(400, refusal.detail, "REQUEST_TOO_LARGE");
    res.set_header("Retry-After", std::to_string(*refusal.retry_after_seconds));
    return ApiError(429, refusal.detail, "RATE_LIMIT");
}

}  // namespace korvane::emulator
