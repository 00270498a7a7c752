// Fuzz target: the request path builder of the administration APIs.
//
// Input: a tenant id and a resource id (UTF-8, invalid bytes replaced), split at the first 0xFF byte.
// The empty id, "." and ".." are refused with ValueError; any other id becomes exactly one segment
// of the path: the segments decode back to the ids' bytes, the path holds only unreserved
// characters, "/" and %XX escapes, the HTTP layer's escaping leaves it alone, and libcurl takes the
// URL made with it as it stands, path unchanged.
#include <curl/curl.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/admin/paths.hpp"
#include "http/errors.hpp"
#include "http/url.hpp"
#include "python_embed.hpp"

namespace {

namespace nb = nanobind;
using korvane::api::api_path;
using korvane::api::PathPiece;

bool unreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// The bytes a segment stands for; false when it holds anything but unreserved bytes and escapes.
bool decode(std::string_view segment, std::string& bytes) {
    for (std::size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] == '%') {
            if (i + 2 >= segment.size() || !upper_hex(segment[i + 1]) || !upper_hex(segment[i + 2])) return false;
            bytes += static_cast<char>(hex_value(segment[i + 1]) * 16 + hex_value(segment[i + 2]));
            i += 2;
        } else if (unreserved(segment[i])) {
            bytes += segment[i];
        } else {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', start)) {
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    parts.push_back(path.substr(start));
    return parts;
}

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    FUZZ_CHECK(data != nullptr);
    return std::string(data, static_cast<std::size_t>(size));
}

bool refused(const std::string& id) { return id.empty() || korvane::http::is_dot_segment(id); }

// libcurl's own reading of the path of http://h + path, taken as it stands.
std::string curl_path(const std::string& path) {
    CURLU* url = curl_url();
    FUZZ_CHECK(url != nullptr);
    const std::string whole = "http://h" + path;
    FUZZ_CHECK(curl_url_set(url, CURLUPART_URL, whole.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK);
    char* got = nullptr;
    FUZZ_CHECK(curl_url_get(url, CURLUPART_PATH, &got, 0) == CURLUE_OK);
    std::string result(got);
    curl_free(got);
    curl_url_cleanup(url);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    nb::module_ module = nb::borrow<nb::module_>(fuzz::start_python());
    korvane::http::bind_errors(module);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\xff');
    const std::string_view tenant_bytes = cut == std::string_view::npos ? std::string_view() : input.substr(0, cut);
    const std::string_view id_bytes = cut == std::string_view::npos ? input : input.substr(cut + 1);
    nb::object tenant = nb::steal(
        PyUnicode_DecodeUTF8(tenant_bytes.data(), static_cast<Py_ssize_t>(tenant_bytes.size()), "replace"));
    nb::object id = nb::steal(
        PyUnicode_DecodeUTF8(id_bytes.data(), static_cast<Py_ssize_t>(id_bytes.size()), "replace"));
    FUZZ_CHECK(tenant.is_valid() && id.is_valid());
    const std::string tenant_text = utf8(tenant), id_text = utf8(id);

    std::string path;
    try {
        path = utf8(api_path(tenant, {"/feedback/", PathPiece::resource(id, "feedback_id")}));
        FUZZ_CHECK(!refused(id_text) && !korvane::http::is_dot_segment(tenant_text));
    } catch (nb::python_error& error) {
        FUZZ_CHECK(error.matches(PyExc_ValueError));
        FUZZ_CHECK(refused(id_text) || korvane::http::is_dot_segment(tenant_text));
        return 0;
    }

    const std::vector<std::string_view> parts = split(path);
    const bool scoped = !tenant_text.empty();
    FUZZ_CHECK(parts.size() == (scoped ? 7u : 5u));
    FUZZ_CHECK(parts[0].empty() && parts[1] == "api" && parts[2] == "v1");
    std::string decoded;
    if (scoped) {
        FUZZ_CHECK(parts[3] == "tenants" && parts[5] == "feedback");
        FUZZ_CHECK(decode(parts[4], decoded) && decoded == tenant_text);
        decoded.clear();
    } else {
        FUZZ_CHECK(parts[3] == "feedback");
    }
    FUZZ_CHECK(decode(parts.back(), decoded) && decoded == id_text);
    FUZZ_CHECK(korvane::http::escape_url(path) == path);
    FUZZ_CHECK(curl_path(path) == path);
    return 0;
}
