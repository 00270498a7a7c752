// libcurl's functions as this layer calls them: libcurl::curl_easy_init() and so on.
//
// libcurl is loaded when the first session is made, not when the module is imported (linking it
// would make every `import korvane_sdk` load libcurl and its libraries), so nothing here is linked
// against it. Each function is a pointer in a table whose types come from libcurl's own header
// (whatever its version declares), filled by dlsym from the loaded library; the wrappers below
// call through the table, or return a failure value while libcurl cannot be loaded.
#pragma once
#include <curl/curl.h>

#include <utility>

// X(name, value returned when libcurl could not be loaded)
#define KORVANE_CURL_FUNCTIONS(X)                      \
    X(curl_global_init, CURLE_FAILED_INIT)             \
    X(curl_easy_init, nullptr)                         \
    X(curl_easy_cleanup, void())                       \
    X(curl_easy_reset, void())                         \
    X(curl_easy_pause, CURLE_FAILED_INIT)              \
    X(curl_easy_setopt, CURLE_FAILED_INIT)             \
    X(curl_easy_getinfo, CURLE_FAILED_INIT)            \
    X(curl_easy_strerror, "libcurl is not available")  \
    X(curl_multi_init, nullptr)                        \
    X(curl_multi_cleanup, CURLM_INTERNAL_ERROR)        \
    X(curl_multi_setopt, CURLM_INTERNAL_ERROR)         \
    X(curl_multi_add_handle, CURLM_INTERNAL_ERROR)     \
    X(curl_multi_remove_handle, CURLM_INTERNAL_ERROR)  \
    X(curl_multi_perform, CURLM_INTERNAL_ERROR)        \
    X(curl_multi_poll, CURLM_INTERNAL_ERROR)           \
    X(curl_multi_socket_action, CURLM_INTERNAL_ERROR)  \
    X(curl_multi_info_read, nullptr)                   \
    X(curl_multi_timeout, CURLM_INTERNAL_ERROR)        \
    X(curl_multi_strerror, "libcurl is not available") \
    X(curl_slist_append, nullptr)                      \
    X(curl_slist_free_all, void())                     \
    X(curl_url, nullptr)                               \
    X(curl_url_cleanup, void())                        \
    X(curl_url_set, CURLUE_OUT_OF_MEMORY)              \
    X(curl_url_get, CURLUE_OUT_OF_MEMORY)              \
    X(curl_url_strerror, "libcurl is not available")   \
    X(curl_free, void())                               \
    X(curl_version_info, nullptr)                      \
    X(curl_getdate, static_cast<time_t>(-1))

namespace korvane::http {

// Names in parentheses throughout: libcurl's header defines some of these names as function-like
// macros (to check the argument count), which a parenthesised name does not invoke.
struct CurlApi {
// A member is declared with the bare name (a parenthesised one would not declare it).
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KORVANE_CURL_MEMBER(name, failure) decltype(&::name) name = nullptr;
    KORVANE_CURL_FUNCTIONS(KORVANE_CURL_MEMBER)
#undef KORVANE_CURL_MEMBER
    // NOLINTEND(bugprone-macro-parentheses)
};

// The table, every entry resolved; nullptr when libcurl cannot be loaded (curl_load_error() says
// why). Loads libcurl on the first call.
const CurlApi* curl_api() noexcept;

namespace libcurl {
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KORVANE_CURL_WRAPPER(name, failure)                                                        \
    template <class... Args>                                                                       \
    inline auto(name)(Args && ... args) {                                                          \
        using Result = decltype((std::declval<decltype(&::name)>())(std::forward<Args>(args)...)); \
        const CurlApi* api = curl_api();                                                           \
        if (!api) [[unlikely]]                                                                     \
            return static_cast<Result>(failure);                                                   \
        return (api->name)(std::forward<Args>(args)...);                                           \
    }
KORVANE_CURL_FUNCTIONS(KORVANE_CURL_WRAPPER)
#undef KORVANE_CURL_WRAPPER
// NOLINTEND(bugprone-macro-parentheses)
}  // namespace libcurl

}  // namespace korvane::http
