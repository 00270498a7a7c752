// Request planning, shared by every driver: where a call goes and with which headers.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api {

namespace nb = nanobind;

// KorvaneClient._get_base_url: the proxy for chat and model paths, the API for the rest.
nb::object base_url_for(nb::handle client, nb::handle path);

// KorvaneClient._get_headers: a new dict each call (the request loop changes it).
nb::dict default_headers(nb::handle client);

// What every attempt of one call sends, fixed before the first: client._get_base_url(path) + path,
// and client._get_headers() without Content-Type when files go as multipart (the HTTP layer sets it).
struct RequestPlan {
    nb::object url;
    nb::object headers;
};
RequestPlan plan_request(nb::handle client, nb::handle path, nb::handle files);

}  // namespace korvane::api
