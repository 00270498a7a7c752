// Which answers are followed to another location, and what the next request keeps: the rules of
// mainstream Python clients (requests), not libcurl's own.
#pragma once
#include <string>

namespace korvane::http {

// Most redirects followed for one request.
inline constexpr int kMaxRedirects = 30;

// 301, 302, 303, 307 and 308 with a Location are followed; other answers are final.
bool is_followed_redirect(int status);

// The absolute URL a Location names, resolved against the URL it answered (spaces and bytes a
// URL may not carry raw are percent-encoded, as libcurl does); empty when it names none.
std::string resolve_location(const std::string& base, const std::string& location);

// The method of the next request: 302 and 303 turn every method but HEAD into GET (RFC 9110 for
// 303; what browsers do for 302), 301 turns POST into GET; 307 and 308 keep the method.
std::string redirected_method(int status, const std::string& method);

// Whether the next request carries the body again (with its Content-Type and Content-Length):
// only after 307 and 308.
bool redirect_keeps_body(int status);

// Whether the Authorization header must be dropped going from `from` to `to`: another host, or
// another scheme or port, except http to https on the standard ports of the same host.
bool redirect_drops_authorization(const std::string& from, const std::string& to);

}  // namespace korvane::http
