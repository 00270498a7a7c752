// libcurl is loaded when the first session is made, not when the module is imported: linking it
// directly would make every `import korvane_sdk` load libcurl and its thirty-odd libraries.
// Each libcurl function the layer calls is defined here and forwards to the loaded library.
#define CURL_DISABLE_TYPECHECK  // the type-checking macros would rename the definitions below
#include <curl/curl.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <string>

#include "http/curl_loader.hpp"

namespace korvane::http {
namespace {

struct Library {
    void* handle = nullptr;
    std::string error;
};

// The folder this module was loaded from, with a trailing '/'; empty when unknown.
std::string module_folder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&module_folder), &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const Library& library() {
    static const Library loaded = [] {
        Library lib;
        // The link library installed beside the module brings the libcurl it was linked (or, in a
        // wheel, repaired) against; without it, the system's libcurl is looked up by name.
        const std::string link = module_folder() + kCurlLinkLibrary;
        const bool beside = !link.empty() && link.front() == '/' && access(link.c_str(), F_OK) == 0;
        lib.handle = dlopen(beside ? link.c_str() : "libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!lib.handle) {
            const char* why = dlerror();
            lib.error = why ? why : "unknown error";
        } else if (!dlsym(lib.handle, "curl_multi_poll") || !dlsym(lib.handle, "curl_url_strerror")) {
            lib.error = "the libcurl found is older than 7.80";
            dlclose(lib.handle);
            lib.handle = nullptr;
        }
        return lib;
    }();
    return loaded;
}

void* resolve(const char* name) {
    const Library& lib = library();
    return lib.handle ? dlsym(lib.handle, name) : nullptr;
}

}  // namespace

const char* curl_load_error() {
    const Library& lib = library();
    return lib.handle ? nullptr : lib.error.c_str();
}

namespace {

bool is_file(const char* path) {
    struct stat info {};
    return path && *path && stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

bool is_folder(const char* path) {
    struct stat info {};
    return path && *path && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

CaStore find_ca_store() {
    CaStore store;
    // OpenSSL's own variables come first, as for any program built on OpenSSL.
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    if (is_file(file)) store.file = file;
    if (is_folder(dir)) store.dir = dir;
    if (!store.file.empty() || !store.dir.empty()) return store;
    // Then the places this libcurl was built to look in, when the machine has them; a libcurl
    // copied from another distribution (as in a wheel) may name places this one lacks.
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info && (is_file(info->cainfo) || is_folder(info->capath))) return store;
    // Then where the common distributions keep their bundle and their folder of certificates.
    static const char* const kFiles[] = {
        "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Arch, Gentoo
        "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL
        "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // RHEL, CentOS
        "/etc/ssl/ca-bundle.pem",                             // openSUSE
        "/etc/ssl/cert.pem",                                  // Alpine
        "/etc/pki/tls/cacert.pem",
    };
    static const char* const kFolders[] = {"/etc/ssl/certs", "/etc/pki/tls/certs"};
    for (const char* candidate : kFiles) {
        if (is_file(candidate)) {
            store.file = candidate;
            break;
        }
    }
    for (const char* candidate : kFolders) {
        if (is_folder(candidate)) {
            store.dir = candidate;
            break;
        }
    }
    return store;
}

}  // namespace

const CaStore& ca_store() {
    static const CaStore store = find_ca_store();
    return store;
}

}  // namespace korvane::http

using korvane::http::resolve;

// One forwarding definition: resolved once, and `failure` returned when libcurl is missing.
// `ret(*) params` is a function pointer type, which parentheses around `ret` would break.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KORVANE_CURL_FORWARD(ret, name, failure, params, args)                    \
    extern "C" ret name params {                                                  \
        static const auto real = reinterpret_cast<ret(*) params>(resolve(#name)); \
        if (!real) return failure;                                                \
        return real args;                                                         \
    }
// NOLINTEND(bugprone-macro-parentheses)

KORVANE_CURL_FORWARD(CURLcode, curl_global_init, CURLE_FAILED_INIT, (long flags), (flags))
KORVANE_CURL_FORWARD(CURL*, curl_easy_init, nullptr, (void), ())
KORVANE_CURL_FORWARD(void, curl_easy_cleanup, void(), (CURL * h), (h))
KORVANE_CURL_FORWARD(void, curl_easy_reset, void(), (CURL * h), (h))
KORVANE_CURL_FORWARD(CURLcode, curl_easy_pause, CURLE_FAILED_INIT, (CURL * h, int bitmask), (h, bitmask))
KORVANE_CURL_FORWARD(const char*, curl_easy_strerror, "libcurl is not available", (CURLcode c), (c))
KORVANE_CURL_FORWARD(CURLM*, curl_multi_init, nullptr, (void), ())
KORVANE_CURL_FORWARD(CURLMcode, curl_multi_cleanup, CURLM_INTERNAL_ERROR, (CURLM * m), (m))
KORVANE_CURL_FORWARD(CURLMcode, curl_multi_add_handle, CURLM_INTERNAL_ERROR, (CURLM * m, CURL* h), (m, h))
KORVANE_CURL_FORWARD(CURLMcode, curl_multi_remove_handle, CURLM_INTERNAL_ERROR, (CURLM * m, CURL* h), (m, h))
KORVANE_CURL_FORWARD(CURLMcode, curl_multi_perform, CURLM_INTERNAL_ERROR, (CURLM * m, int* running), (m, running))
KORVANE_CURL_FORWARD(CURLMcode, curl_multi_poll, CURLM_INTERNAL_ERROR,
                     (CURLM * m, struct curl_waitfd* fds, unsigned int n, int timeout_ms, int* ready),
                     (m, fds, n, timeout_ms, ready))
KORVANE_CURL_FORWARD(CURLMcode, curl_multi_socket_action, CURLM_INTERNAL_ERROR,
                     (CURLM * m, curl_socket_t s, int mask, int* running), (m, s, mask, running))
KORVANE_CURL_FORWARD(CURLMsg*, curl_multi_info_read, nullptr, (CURLM * m, int* left), (m, left))
KORVANE_CURL_FORWARD(CURLMcode, curl_multi_timeout, CURLM_INTERNAL_ERROR, (CURLM * m, long* ms), (m, ms))
KORVANE_CURL_FORWARD(const char*, curl_multi_strerror, "libcurl is not available", (CURLMcode c), (c))
KORVANE_CURL_FORWARD(struct curl_slist*, curl_slist_append, nullptr, (struct curl_slist * list, const char* s),
                     (list, s))
KORVANE_CURL_FORWARD(void, curl_slist_free_all, void(), (struct curl_slist * list), (list))
KORVANE_CURL_FORWARD(CURLU*, curl_url, nullptr, (void), ())
KORVANE_CURL_FORWARD(void, curl_url_cleanup, void(), (CURLU * u), (u))
KORVANE_CURL_FORWARD(CURLUcode, curl_url_set, CURLUE_OUT_OF_MEMORY,
                     (CURLU * u, CURLUPart part, const char* content, unsigned int flags), (u, part, content, flags))
KORVANE_CURL_FORWARD(CURLUcode, curl_url_get, CURLUE_OUT_OF_MEMORY,
                     (CURLU * u, CURLUPart part, char** content, unsigned int flags), (u, part, content, flags))
KORVANE_CURL_FORWARD(const char*, curl_url_strerror, "libcurl is not available", (CURLUcode c), (c))
KORVANE_CURL_FORWARD(void, curl_free, void(), (void* p), (p))
KORVANE_CURL_FORWARD(curl_version_info_data*, curl_version_info, nullptr, (CURLversion v), (v))
KORVANE_CURL_FORWARD(time_t, curl_getdate, -1, (const char* text, const time_t* unused), (text, unused))

// The two variadic entry points take exactly one further argument whose type the option's
// number range tells: long, pointer (object, function, blob) or curl_off_t.
extern "C" CURLcode curl_easy_setopt(CURL* h, CURLoption option, ...) {
    static const auto real = reinterpret_cast<CURLcode (*)(CURL*, CURLoption, ...)>(resolve("curl_easy_setopt"));
    if (!real) return CURLE_FAILED_INIT;
    va_list args;
    va_start(args, option);
    CURLcode result;
    // On LP64 long and curl_off_t are one type and two branches read alike; they differ elsewhere.
    // NOLINTBEGIN(bugprone-branch-clone)
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        result = real(h, option, va_arg(args, long));
    } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
        result = real(h, option, va_arg(args, curl_off_t));
    } else {
        result = real(h, option, va_arg(args, void*));
    }
    // NOLINTEND(bugprone-branch-clone)
    va_end(args);
    return result;
}

// The multi handle's options: long, pointer (object, function) or curl_off_t, by number range.
extern "C" CURLMcode curl_multi_setopt(CURLM* m, CURLMoption option, ...) {
    static const auto real = reinterpret_cast<CURLMcode (*)(CURLM*, CURLMoption, ...)>(resolve("curl_multi_setopt"));
    if (!real) return CURLM_INTERNAL_ERROR;
    va_list args;
    va_start(args, option);
    CURLMcode result;
    // As in curl_easy_setopt: on LP64 the long and curl_off_t branches read alike.
    // NOLINTBEGIN(bugprone-branch-clone)
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        result = real(m, option, va_arg(args, long));
    } else if (option >= CURLOPTTYPE_OFF_T) {
        result = real(m, option, va_arg(args, curl_off_t));
    } else {
        result = real(m, option, va_arg(args, void*));
    }
    // NOLINTEND(bugprone-branch-clone)
    va_end(args);
    return result;
}

extern "C" CURLcode curl_easy_getinfo(CURL* h, CURLINFO info, ...) {
    static const auto real = reinterpret_cast<CURLcode (*)(CURL*, CURLINFO, ...)>(resolve("curl_easy_getinfo"));
    if (!real) return CURLE_FAILED_INIT;
    va_list args;
    va_start(args, info);
    CURLcode result = real(h, info, va_arg(args, void*));  // every kind of info takes a pointer
    va_end(args);
    return result;
}
