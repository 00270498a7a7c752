// Retry-After: delay-seconds, fractions, or an HTTP date (read by the HTTP layer's date reader).
#include "api/client/retry_after.hpp"

#include <algorithm>

#include "http/http_date.hpp"

namespace korvane::api {
namespace {

constexpr long long kCap = 365LL * 24 * 3600;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<long long> parse_retry_after(std::string_view value, std::time_t now) {
    auto is_space = [](char c) { return c == ' ' || c == '\t'; };
    while (!value.empty() && is_space(value.front())) value.remove_prefix(1);
    while (!value.empty() && is_space(value.back())) value.remove_suffix(1);
    if (value.empty()) return std::nullopt;

    // [+-]digits[.digits]
    size_t i = 0;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
    size_t digits_start = i;
    long long whole = 0;
    while (i < value.size() && is_digit(value[i])) {
        whole = std::min(kCap, whole * 10 + (value[i] - '0'));
        ++i;
    }
    bool has_whole = i > digits_start;
    bool fraction_nonzero = false;
    bool has_fraction = false;
    if (i < value.size() && value[i] == '.') {
        ++i;
        size_t fraction_start = i;
        while (i < value.size() && is_digit(value[i])) fraction_nonzero |= value[i++] != '0';
        has_fraction = i > fraction_start;
    }
    if (i == value.size() && (has_whole || has_fraction)) {
        if (negative) return 0;
        return std::min(kCap, whole + (fraction_nonzero ? 1 : 0));
    }

    // An HTTP date, in any of the three forms HTTP allows.
    std::optional<std::time_t> when = http::parse_http_date(value);
    if (!when) return std::nullopt;
    return std::clamp<long long>(static_cast<long long>(*when) - static_cast<long long>(now), 0, kCap);
}

}  // namespace korvane::api
