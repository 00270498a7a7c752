// Fuzz target: the Retry-After reader against a reference written digit string by digit string.
//
// Input: the header value as received.
#include <curl/curl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "api/client/retry_after.hpp"
#include "check.hpp"

namespace {

constexpr long long kYear = 365LL * 24 * 3600;

bool digit(char c) { return c >= '0' && c <= '9'; }

// Seconds from a plain number "[+-]digits[.digits]" (at least one digit in all): negative
// values are 0, a fraction that is not zero counts as one more second, a year at most. No
// value when the text is not such a number.
std::optional<long long> reference_number(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const std::size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (whole.empty() && fraction.empty()) return std::nullopt;
    if (!std::all_of(whole.begin(), whole.end(), digit) || !std::all_of(fraction.begin(), fraction.end(), digit)) {
        return std::nullopt;
    }
    if (negative) return 0;
    while (!whole.empty() && whole.front() == '0') whole.remove_prefix(1);
    // Twelve digits or more are far beyond a year.
    long long seconds = whole.size() > 11 ? kYear : (whole.empty() ? 0 : std::stoll(std::string(whole)));
    if (fraction.find_first_not_of('0') != std::string_view::npos) ++seconds;
    return std::min(seconds, kYear);
}

std::optional<long long> reference(std::string_view value, std::time_t now) {
    const std::size_t first = value.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    value = value.substr(first, value.find_last_not_of(" \t") - first + 1);
    if (auto seconds = reference_number(value)) return seconds;
    if (value.size() > 64) return std::nullopt;
    const std::time_t when = curl_getdate(std::string(value).c_str(), nullptr);
    if (when == -1) return std::nullopt;
    return std::clamp<long long>(static_cast<long long>(when) - now, 0, kYear);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    for (std::time_t now : {std::time_t{0}, std::time_t{1700000000}}) {
        const std::optional<long long> seconds = korvane::api::parse_retry_after(value, now);
        if (seconds) FUZZ_CHECK(*seconds >= 0 && *seconds <= kYear);
        FUZZ_CHECK(seconds == reference(value, now));
    }
    return 0;
}
