// Everything one request needs once the GIL is released: built from the Python arguments first.
#pragma once
#include <nanobind/nanobind.h>

#include <memory>
#include <string>

#include "http/curl_handles.hpp"
#include "http/upload.hpp"

namespace korvane::http {

namespace nb = nanobind;

struct RequestPlan {
    std::string method;  // upper case, a valid token
    std::string url;     // escaped, with the query, checked
    HeaderList headers;
    bool has_body = false;
    std::string body;                          // the JSON text, or empty for an empty body
    std::unique_ptr<MultipartBody> multipart;  // instead of `body` when files are sent
    long connect_timeout_ms = 0;               // 0: no limit of our own
    long read_timeout_ms = 0;                  // 0: no limit
    bool verify = true;
    // Where trusted CA certificates are, when not the system's (see trust.hpp). `set` with an
    // empty path: none of that kind.
    struct CaLocation {
        bool set = false;
        std::string path;
    };
    CaLocation ca_file, ca_dir;
    std::string proxy;  // set only where libcurl would not read the environment itself
    bool stream = false;
    // Most answer-body bytes held unread at once (a whole body, or one stretch of a stream not
    // yet taken); 0: no limit. Keeps a huge or endlessly inflating body from exhausting memory.
    size_t max_body = 0;
};

// Builds the plan from Session.request's arguments; raises InvalidURL, InvalidHeader, ValueError
// or TypeError for input that cannot be sent, before anything goes out.
RequestPlan plan_request(nb::handle method, nb::handle url, nb::handle params, nb::handle json, nb::handle files,
                         nb::handle headers, nb::handle timeout, bool stream, nb::handle verify);

}  // namespace korvane::http
