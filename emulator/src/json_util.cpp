// JSON parsing with a depth guard, lossless dumping and typed member readers.
#include "json_util.hpp"

#include <cmath>
#include <limits>

#include "errors.hpp"

namespace korvane::emulator {
namespace {

const Json& empty_object() {
    static const Json empty = Json::object();
    return empty;
}

// Nesting depth outside strings, stopping early once over the limit.
bool depth_within_limit(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        switch (c) {
            case '"': in_string = true; break;
            case '[':
            case '{':
                if (++depth > limit) return false;
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default: break;
        }
    }
    return true;
}

ApiError wrong_type(const char* name, const char* expected) {
    return validation_error(std::string("'") + name + "' must be " + expected);
}

}  // namespace

Json parse_json_body(std::string_view text) {
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return Json(nullptr);
    if (!depth_within_limit(text, max_json_depth)) {
        throw ApiError(400, "Invalid JSON body: nested deeper than " + std::to_string(max_json_depth) + " levels",
                       "INVALID_JSON");
    }
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const Json::exception& e) {
        throw ApiError(400, std::string("Invalid JSON body: ") + e.what(), "INVALID_JSON");
    }
}

std::string dump_json(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::optional<std::int64_t> json_integer(const Json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // 2^63 bounds; the float must hold a whole number exactly.
        if (std::isfinite(d) && std::floor(d) == d && d >= -9.2e18 && d <= 9.2e18) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

BodyFields::BodyFields(const Json& body) : object_(&body) {
    if (body.is_null()) {
        object_ = &empty_object();
    } else if (!body.is_object()) {
        throw validation_error("Request body must be a JSON object");
    }
}

const Json* BodyFields::raw(const char* name) const {
    auto it = object_->find(name);
    return it == object_->end() ? nullptr : &*it;
}

bool BodyFields::has(const char* name) const {
    const Json* v = raw(name);
    return v != nullptr && !v->is_null();
}

std::optional<std::string> BodyFields::opt_string(const char* name) const {
    const Json* v = raw(name);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_string()) throw wrong_type(name, "a string");
    return v->get<std::string>();
}

std::string BodyFields::req_string(const char* name) const {
    auto v = opt_string(name);
    if (!v) throw validation_error(std::string("'") + name + "' is required");
    return *v;
}

std::optional<std::int64_t> BodyFields::opt_int(const char* name) const {
    const Json* v = raw(name);
    if (v == nullptr || v->is_null()) return std::nullopt;
    auto i = json_integer(*v);
    if (!i) throw wrong_type(name, "an integer");
    return i;
}

std::int64_t BodyFields::req_int(const char* name) const {
    auto v = opt_int(name);
    if (!v) throw validation_error(std::string("'") + name + "' is required");
    return *v;
}

std::optional<double> BodyFields::opt_number(const char* name) const {
    const Json* v = raw(name);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_number()) throw wrong_type(name, "a number");
    return v->get<double>();
}

std::optional<bool> BodyFields::opt_bool(const char* name) const {
    const Json* v = raw(name);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_boolean()) throw wrong_type(name, "a boolean");
    return v->get<bool>();
}

std::optional<Json> BodyFields::opt_object(const char* name) const {
    const Json* v = raw(name);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_object()) throw wrong_type(name, "an object");
    // In place: nlohmann/json 3.11's templated conversion makes `return *v;` ambiguous with GCC 14+.
    return std::optional<Json>(std::in_place, *v);
}

std::optional<std::vector<std::string>> BodyFields::opt_string_list(const char* name) const {
    const Json* v = raw(name);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_array()) throw wrong_type(name, "a list of strings");
    std::vector<std::string> out;
    out.reserve(v->size());
    for (const auto& item : *v) {
        if (!item.is_string()) throw wrong_type(name, "a list of strings");
        out.push_back(item.get<std::string>());
    }
    return out;
}

}  // namespace korvane::emulator
