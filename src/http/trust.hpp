// Which certificate authorities a request trusts: Session.verify and the environment, read as
// requests reads them.
#pragma once
#include <nanobind/nanobind.h>

#include "http/request_plan.hpp"

namespace korvane::http {

namespace nb = nanobind;

// Sets plan.verify and the CA locations from `verify` (for plan.url):
// - false (any falsy value): no verification;
// - a path (str, bytes or os.PathLike): the CA bundle file, or a directory of hashed CA
//   certificates, that alone is trusted;
// - true (any other truthy value): REQUESTS_CA_BUNDLE, else CURL_CA_BUNDLE, as such a path; else
//   OpenSSL's SSL_CERT_FILE and SSL_CERT_DIR in place of the system's file and directory; else the
//   system's store.
// A path that names nothing raises OSError naming it, before anything is sent; as with requests,
// only for https URLs, the only ones a CA bundle matters to.
void plan_trust(RequestPlan& plan, nb::handle verify);

}  // namespace korvane::http
