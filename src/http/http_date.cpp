// Reading HTTP dates with libcurl's parser (curl_getdate), which needs a terminated string.
#include "http/http_date.hpp"

#include "http/curl_api.hpp"

#include <string>

namespace korvane::http {

std::optional<std::time_t> parse_http_date(std::string_view text) {
    if (text.size() > 64) return std::nullopt;
    std::string terminated(text);
    std::time_t when = libcurl::curl_getdate(terminated.c_str(), nullptr);
    if (when == -1) return std::nullopt;
    return when;
}

}  // namespace korvane::http
