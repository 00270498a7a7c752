// Redirect rules: method, body and credentials of the request sent to the next location.
#include "http/redirects.hpp"

#include "http/curl_api.hpp"

#include "http/curl_handles.hpp"

namespace korvane::http {
namespace {

struct UrlParts {
    bool valid = false;
    std::string scheme, host, port;  // port empty when the URL names none
};

std::string part(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    if (libcurl::curl_url_get(url, which, &text, 0) != CURLUE_OK || !text) return {};
    std::string value(text);
    libcurl::curl_free(text);
    return value;
}

UrlParts parts_of(const std::string& text) {
    UrlParts parts;
    UrlHandle url(libcurl::curl_url());
    if (!url || libcurl::curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return parts;
    parts.scheme = part(url.get(), CURLUPART_SCHEME);
    parts.host = part(url.get(), CURLUPART_HOST);
    parts.port = part(url.get(), CURLUPART_PORT);
    for (char& c : parts.host) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    parts.valid = !parts.scheme.empty();
    return parts;
}

bool is_default_port(const std::string& port, const std::string& scheme) {
    return port.empty() || port == (scheme == "https" ? "443" : "80");
}

}  // namespace

bool is_followed_redirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string resolve_location(const std::string& base, const std::string& location) {
    UrlHandle url(libcurl::curl_url());
    if (!url || libcurl::curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return {};
    if (libcurl::curl_url_set(url.get(), CURLUPART_URL, location.c_str(), CURLU_URLENCODE | CURLU_ALLOW_SPACE) !=
        CURLUE_OK) {
        return {};
    }
    return part(url.get(), CURLUPART_URL);
}

std::string redirected_method(int status, const std::string& method) {
    if ((status == 302 || status == 303) && method != "HEAD") return "GET";
    if (status == 301 && method == "POST") return "GET";
    return method;
}

bool redirect_keeps_body(int status) { return status == 307 || status == 308; }

bool redirect_drops_authorization(const std::string& from, const std::string& to) {
    const UrlParts a = parts_of(from), b = parts_of(to);
    if (!a.valid || !b.valid || a.host != b.host) return true;
    const bool upgrade = a.scheme == "http" && b.scheme == "https";
    if (upgrade && is_default_port(a.port, "http") && is_default_port(b.port, "https")) return false;
    if (a.scheme == b.scheme && is_default_port(a.port, a.scheme) && is_default_port(b.port, a.scheme)) return false;
    return a.scheme != b.scheme || a.port != b.port;
}

}  // namespace korvane::http
