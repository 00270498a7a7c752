// Fuzz target: URL escaping and the up-front URL check.
//
// Input: a URL as given by a caller. After the host, the escaped URL may hold only bytes a URL
// carries raw and valid %XX escapes, must mean the same bytes as the input, must not change when
// escaped again, and under a good scheme and host must pass the check libcurl makes.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/errors.hpp"
#include "http/url.hpp"
#include "python_embed.hpp"

namespace {

namespace nb = nanobind;

bool hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// Unreserved and reserved characters: what a URL may carry raw after its host.
bool raw_in_url(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-._~!#$&'()*+,/:;=?@[]").find(static_cast<char>(c)) != std::string_view::npos;
}

// The bytes a URL tail stands for: valid escapes decoded, every other byte as it is.
std::string meaning(std::string_view tail) {
    std::string bytes;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        if (tail[i] == '%' && i + 2 < tail.size() && hex(tail[i + 1]) && hex(tail[i + 2])) {
            bytes += static_cast<char>(hex_value(tail[i + 1]) * 16 + hex_value(tail[i + 2]));
            i += 2;
        } else {
            bytes += tail[i];
        }
    }
    return bytes;
}

bool only_sendable(std::string_view tail) {
    for (std::size_t i = 0; i < tail.size(); ++i) {
        if (tail[i] == '%') {
            if (i + 2 >= tail.size() || !hex(tail[i + 1]) || !hex(tail[i + 2])) return false;
            i += 2;
        } else if (!raw_in_url(static_cast<unsigned char>(tail[i]))) {
            return false;
        }
    }
    return true;
}

// Where the escaped part starts: after "scheme://host" when there is a "://", else at 0.
std::size_t tail_start(std::string_view url) {
    const std::size_t authority = url.find("://");
    if (authority == std::string_view::npos) return 0;
    const std::size_t tail = url.find_first_of("/?#", authority + 3);
    return tail == std::string_view::npos ? url.size() : tail;
}

bool passes_check(const std::string& url) {
    try {
        korvane::http::check_url(url);
        return true;
    } catch (nb::python_error& error) {
        FUZZ_CHECK(error.matches(korvane::http::error_type(korvane::http::ErrorKind::InvalidURL)));
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    nb::module_ module = nb::borrow<nb::module_>(fuzz::start_python());
    korvane::http::bind_errors(module);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view given(reinterpret_cast<const char*>(data), size);
    const std::string escaped = korvane::http::escape_url(given);
    const std::size_t tail = tail_start(given);
    FUZZ_CHECK(tail_start(escaped) == tail);
    FUZZ_CHECK(escaped.compare(0, tail, given, 0, tail) == 0);
    const std::string_view escaped_tail = std::string_view(escaped).substr(tail);
    FUZZ_CHECK(only_sendable(escaped_tail));
    FUZZ_CHECK(meaning(escaped_tail) == meaning(given.substr(tail)));
    FUZZ_CHECK(korvane::http::escape_url(escaped) == escaped);

    // Whatever follows a good host, the escaped URL is one libcurl takes as it is.
    FUZZ_CHECK(passes_check(korvane::http::escape_url("http://example.com/" + std::string(given))));
    passes_check(escaped);  // any outcome but a crash or a foreign error
    return 0;
}
