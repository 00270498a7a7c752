// Loads libcurl at the first session and fills the table of its functions (http/curl_api.hpp).
#include "http/curl_loader.hpp"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "http/curl_api.hpp"

namespace korvane::http {
namespace {

struct Library {
    void* handle = nullptr;
    CurlApi api;
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

// Every entry of the table from the library, or the name of the first one it lacks.
const char* resolve_all(void* handle, CurlApi& api) {
#define KORVANE_CURL_RESOLVE(name, failure)                                \
    api.name = reinterpret_cast<decltype(api.name)>(dlsym(handle, #name)); \
    if (!api.name) return #name;
    KORVANE_CURL_FUNCTIONS(KORVANE_CURL_RESOLVE)
#undef KORVANE_CURL_RESOLVE
    return nullptr;
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
        } else if (const char* missing = resolve_all(lib.handle, lib.api)) {
            // curl_url_strerror and curl_multi_poll came last, with 7.80.
            lib.error = std::string("the libcurl found is older than 7.80 (it lacks ") + missing + ")";
            lib.api = CurlApi{};
            dlclose(lib.handle);
            lib.handle = nullptr;
        }
        return lib;
    }();
    return loaded;
}

}  // namespace

const CurlApi* curl_api() noexcept {
    const Library& lib = library();
    return lib.handle ? &lib.api : nullptr;
}

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
    const curl_version_info_data* info = libcurl::curl_version_info(CURLVERSION_NOW);
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
