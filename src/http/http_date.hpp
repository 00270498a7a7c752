// Dates as HTTP writes them (Retry-After, Date): read by libcurl's date parser, so the rest of the core
// never calls libcurl itself.
#pragma once
#include <ctime>
#include <optional>
#include <string_view>

namespace korvane::http {

// The moment an HTTP date names, in any of the three forms HTTP allows (IMF-fixdate, RFC 850,
// asctime); nothing for text that is none of them or longer than any date (64 bytes).
std::optional<std::time_t> parse_http_date(std::string_view text);

}  // namespace korvane::http
