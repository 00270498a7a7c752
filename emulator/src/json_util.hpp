// JSON alias, safe parsing and dumping, and typed readers for request bodies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvane::emulator {

// Ordered so answers list their members in record order.
using Json = nlohmann::ordered_json;

// Deeper documents are refused before parsing: later recursive walks (dump,
// copy) must never be able to exhaust a worker thread's stack.
inline constexpr std::size_t max_json_depth = 64;

// Parses a request body. Empty text gives null; malformed or too deep text
// throws ApiError 400 INVALID_JSON.
Json parse_json_body(std::string_view text);

// Serialises without ever throwing on text that is not valid UTF-8 (ids taken
// from a percent-decoded path can be anything).
std::string dump_json(const Json& value);

// Reads the members of a request object with the platform's type rules;
// a member of the wrong type throws ApiError 422 naming the member.
class BodyFields {
public:
    // A null body counts as an empty object; anything else but an object is 422.
    explicit BodyFields(const Json& body);

    bool has(const char* name) const;  // present and not null

    std::optional<std::string> opt_string(const char* name) const;
    std::string req_string(const char* name) const;
    // Integers; floats with an integral value are accepted, booleans are not.
    std::optional<std::int64_t> opt_int(const char* name) const;
    std::int64_t req_int(const char* name) const;
    std::optional<double> opt_number(const char* name) const;
    std::optional<bool> opt_bool(const char* name) const;
    std::optional<Json> opt_object(const char* name) const;
    std::optional<std::vector<std::string>> opt_string_list(const char* name) const;
    const Json* raw(const char* name) const;  // nullptr when absent

private:
    const Json* object_;
};

// The same integer rule for a single JSON value; nullopt when it is not one.
std::optional<std::int64_t> json_integer(const Json& value);

}  // namespace korvane::emulator
