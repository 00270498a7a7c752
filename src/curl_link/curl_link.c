/* libkorvane_curl.so: a library with no code of its own whose one dependency is libcurl.
 *
 * The extension loads libcurl through it (dlopen of this file, then dlsym through its handle),
 * never at import. A wheel repair tool sees the dependency here and copies libcurl, with the
 * libraries it needs, into the wheel, pointing this library at the copies; a build from source
 * leaves it pointing at the system's libcurl. */
#include <curl/curl.h>

/* Keeps the dependency even where the linker drops unused ones. */
__attribute__((visibility("default"))) CURL* (*const korvane_curl_link)(void) = &curl_easy_init;
