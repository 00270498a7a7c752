// Whether libcurl, loaded on first use, could be loaded.
#pragma once
#include <string>

namespace korvane::http {

// The library installed beside the module through which libcurl is loaded (src/curl_link/).
inline constexpr char kCurlLinkLibrary[] = "libkorvane_curl.so";

// nullptr once libcurl is loaded; else the loader's message (loads it on the first call).
const char* curl_load_error();

// Where TLS peers' certificates are checked against, when libcurl's own defaults will not do:
// SSL_CERT_FILE / SSL_CERT_DIR when set, else nothing (empty) while the places libcurl was built
// to use exist, else the first of the common distributions' bundle and folder found. Looked up
// once, after libcurl is loaded.
struct CaStore {
    std::string file;
    std::string dir;
};
const CaStore& ca_store();

}  // namespace korvane::http
