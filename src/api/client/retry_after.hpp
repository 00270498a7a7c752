// Reading the Retry-After header of a rate-limited answer.
#pragma once
#include <ctime>
#include <optional>
#include <string_view>

namespace korvane::api {

// Seconds to wait, from a Retry-After value: whole seconds as given ("30"); a fraction rounded up
// ("1.2" -> 2); an HTTP date as the seconds from `now` to it; never negative. Anything else, or
// an empty value: no value. Values beyond what fits are capped at a year.
std::optional<long long> parse_retry_after(std::string_view value, std::time_t now);

}  // namespace korvane::api
