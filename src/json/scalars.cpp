// String literal and slow-path number decoding with the interpreter's json module semantics.
#include "json/scalars.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace korvane::json::detail {
namespace {

// Value of four hex digits at `p`, or -1.
long hex4(const char* p) {
    long value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = p[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// Appends a code point as UTF-8; surrogates get the 3-byte form the "surrogatepass" handler reads.
void append_code_point(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

const char* skip_digits(const char* p, const char* end) {
    while (p < end && *p >= '0' && *p <= '9') ++p;
    return p;
}

}  // namespace

namespace {

constexpr std::size_t kShortText = 64;

bool is_ascii(std::string_view text) {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        high |= word;
    }
    for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
    return (high & 0x8080808080808080ull) == 0;
}

}  // namespace

PyObject* utf8_text(std::string_view utf8) {
    if (utf8.size() <= kShortText && is_ascii(utf8)) {
        // Short ASCII text (most values) is copied straight into a new str.
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(utf8.size()), 127);
        if (text && !utf8.empty()) std::memcpy(PyUnicode_1BYTE_DATA(text), utf8.data(), utf8.size());
        return text;
    }
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
}

PyObject* decode_string(std::string_view body, std::string& scratch, TokenError* error) {
    const char* p = body.data();
    const char* const end = p + body.size();
    if (!std::memchr(p, '\\', body.size())) return utf8_text(body);

    scratch.clear();
    bool lone_surrogate = false;
    while (p < end) {
        const char* backslash = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
        if (!backslash) {
            scratch.append(p, end);
            break;
        }
        scratch.append(p, backslash);
        p = backslash + 1;
        const char kind = p < end ? *p++ : '\0';
        switch (kind) {
            case '"': scratch += '"'; break;
            case '\\': scratch += '\\'; break;
            case '/': scratch += '/'; break;
            case 'b': scratch += '\b'; break;
            case 'f': scratch += '\f'; break;
            case 'n': scratch += '\n'; break;
            case 'r': scratch += '\r'; break;
            case 't': scratch += '\t'; break;
            case 'u': {
                long cp = end - p >= 4 ? hex4(p) : -1;
                if (cp < 0) {
                    *error = {"Invalid \\uXXXX escape", static_cast<std::size_t>(backslash - body.data())};
                    return nullptr;
                }
                p += 4;
                // A high surrogate escape directly followed by a low one is one character.
                if (cp >= 0xD800 && cp < 0xDC00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                    const long low = hex4(p + 2);
                    if (low >= 0xDC00 && low < 0xE000) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        p += 6;
                    }
                }
                lone_surrogate |= cp >= 0xD800 && cp < 0xE000;
                append_code_point(scratch, static_cast<unsigned long>(cp));
                break;
            }
            default: *error = {"Invalid \\escape", static_cast<std::size_t>(backslash - body.data())}; return nullptr;
        }
    }
    return PyUnicode_DecodeUTF8(scratch.data(), static_cast<Py_ssize_t>(scratch.size()),
                                lone_surrogate ? "surrogatepass" : nullptr);
}

bool non_finite(std::string_view token, PyObject** value) {
    double constant;
    if (token == "NaN")
        constant = std::numeric_limits<double>::quiet_NaN();
    else if (token == "Infinity")
        constant = std::numeric_limits<double>::infinity();
    else if (token == "-Infinity")
        constant = -std::numeric_limits<double>::infinity();
    else
        return false;
    *value = PyFloat_FromDouble(constant);
    return true;
}

bool is_json_number(std::string_view token) {
    const char* p = token.data();
    const char* const end = p + token.size();
    if (p < end && *p == '-') ++p;
    if (p == end) return false;
    if (*p == '0') {
        ++p;
    } else {
        const char* digits = p;
        p = skip_digits(p, end);
        if (p == digits) return false;
    }
    if (p < end && *p == '.') {
        const char* digits = ++p;
        p = skip_digits(p, end);
        if (p == digits) return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* digits = p;
        p = skip_digits(p, end);
        if (p == digits) return false;
    }
    return p == end;
}

PyObject* decode_number(std::string_view token, TokenError* error) {
    if (!is_json_number(token)) {
        *error = {"Invalid number", 0};
        return nullptr;
    }
    const std::string text(token);  // the conversions below want a terminated string
    if (token.find_first_of(".eE") == std::string_view::npos) {
        PyObject* value = PyLong_FromString(text.c_str(), nullptr, 10);
        // Beyond the interpreter's digit limit for int(): valid JSON this process will not
        // convert, reported as a decode error like any other unreadable answer.
        if (!value && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            *error = {"Integer exceeds the limit for integer string conversion", 0};
        }
        return value;
    }
    // Correctly rounded like float(); overflow gives +-inf instead of an error.
    const double value = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(value);
}

}  // namespace korvane::json::detail
