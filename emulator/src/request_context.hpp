// One request as a handler sees it: caller, path parameters, query readers,
// body access and answer helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <httplib.h>

#include "auth.hpp"
#include "clock.hpp"
#include "errors.hpp"
#include "json_util.hpp"
#include "rate_limits.hpp"
#include "request_body.hpp"
#include "router.hpp"

namespace korvane::emulator {

class Store;

void send_json(httplib::Response& res, int status, const Json& body);
void send_error(httplib::Response& res, const ApiError& error);
// The error for a request the rate limits refused: 429 with its Retry-After, or 400 for one that
// no window could ever hold.
ApiError rate_limited(httplib::Response& res, const Refusal& refusal);

class RequestContext {
public:
    RequestContext(const httplib::Request& req, httplib::Response& res, RequestBody& body, Principal principal,
                   RouteParams params)
        : req(req), res(res), body(body), principal(std::move(principal)), params_(std::move(params)) {}

    const httplib::Request& req;
    httplib::Response& res;
    RequestBody& body;
    const Principal principal;

    const std::string& param(const char* name) const;

    // The tenant named by a tenant-scoped path, if this is one.
    std::optional<std::string> scope() const;
    // Owner for a resource created here: the scoped tenant or the default one.
    std::string owner() const;
    // Whether a row owned by `tenant_id` is visible on this path.
    bool sees(const std::string& tenant_id) const;
    // Checks, under the store lock, that a scoped path's tenant still exists.
    void require_scope_exists(const Store& store) const;

    // Query values; malformed ones throw ApiError 422 naming the key.
    std::optional<std::string> query(const char* key) const;
    std::int64_t query_int(const char* key, std::int64_t fallback, std::int64_t lo, std::int64_t hi) const;
    std::optional<std::int64_t> query_opt_int(const char* key, std::int64_t lo, std::int64_t hi) const;
    // True/False as sent by the SDK, and also true/false/1/0.
    std::optional<bool> query_bool(const char* key) const;
    std::optional<Micros> query_time(const char* key) const;

    Json json_body() { return body.read_json(); }

    void send(int status, const Json& answer) { send_json(res, status, answer); }

private:
    RouteParams params_;
};

}  // namespace korvane::emulator
