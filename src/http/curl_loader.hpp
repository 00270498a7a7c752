// Whether libcurl, loaded on first use, could be loaded.
#pragma once

namespace korvane::http {

// nullptr once libcurl is loaded; else the loader's message (loads it on the first call).
const char* curl_load_error();

}  // namespace korvane::http
