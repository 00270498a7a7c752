// korvane_sdk.http.library_versions(): the libcurl and TLS library in use, as loaded (a wheel
// carries its own copies; a build from source uses the system's), so a user can tell whether a
// security release has reached them.
#include <nanobind/nanobind.h>

#include "http/curl_api.hpp"
#include "http/curl_handles.hpp"

namespace korvane::http {

namespace nb = nanobind;

namespace {

nb::object text_or_none(const char* text) { return text && *text ? nb::object(nb::str(text)) : nb::none(); }

nb::dict library_versions() {
    ensure_curl_initialised();  // ImportError when libcurl cannot be loaded, as for a session
    const curl_version_info_data* info = libcurl::curl_version_info(CURLVERSION_NOW);
    nb::dict versions;
    if (!info) return versions;
    versions["libcurl"] = text_or_none(info->version);
    versions["tls"] = text_or_none(info->ssl_version);
    versions["http2"] = text_or_none(info->nghttp2_version);
    versions["zlib"] = text_or_none(info->libz_version);
    versions["brotli"] = (info->age >= CURLVERSION_FOURTH) ? text_or_none(info->brotli_version) : nb::none();
    versions["zstd"] = (info->age >= CURLVERSION_SIXTH) ? text_or_none(info->zstd_version) : nb::none();
    return versions;
}

}  // namespace

void bind_library_versions(nb::module_& m) {
    m.def("_library_versions", &library_versions,
          "The libraries the HTTP layer uses, as loaded: a dict of 'libcurl', 'tls', 'http2', 'zlib', "
          "'brotli' and 'zstd' to their version strings (None where libcurl was built without one). "
          "Loads libcurl; raises ImportError when it cannot be loaded.");
}

}  // namespace korvane::http
