// Escapes and encodes str objects for the writer, reading the interpreter's compact storage directly.
#include "json/string_writer.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace korvane::json::detail {
namespace {

// For each ASCII character: 0 when written as is, else the letter after the backslash
// ('u' meaning \u00XX).
constexpr std::array<char, 128> kEscapes = [] {
    std::array<char, 128> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}();

constexpr char kHex[] = "0123456789abcdef";
constexpr std::size_t kLongestEscape = 6;  // \u00XX, \udXXX

char* put_escape(char* w, std::uint32_t c, char kind) {
    *w++ = '\\';
    *w++ = kind;
    if (kind == 'u') {
        *w++ = kHex[(c >> 12) & 0xF];
        *w++ = kHex[(c >> 8) & 0xF];
        *w++ = kHex[(c >> 4) & 0xF];
        *w++ = kHex[c & 0xF];
    }
    return w;
}

// True when one of 8 ASCII bytes needs an escape (below 0x20, '"' or '\\'); each test sets a
// byte's high bit only where the condition holds (from the first such byte on).
bool needs_escape(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101, high = 0x8080808080808080;
    const std::uint64_t quote = word ^ (ones * '"');
    const std::uint64_t backslash = word ^ (ones * '\\');
    return (((word - ones * 0x20) & ~word) | ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash)) & high;
}

// Escapes need more room than the units they replace: makes room for the worst case of the rest.
char* escape_with_room(Sink& out, char* w, std::uint32_t c, char kind, std::size_t rest_bound) {
    out.commit(w);
    w = out.reserve(kLongestEscape + rest_bound);
    return put_escape(w, c, kind);
}

void write_ascii(const char* p, std::size_t n, Sink& out) {
    char* w = out.reserve(n + 2);
    *w++ = '"';
    std::size_t i = 0;
    while (i < n) {
        // Eight clean bytes at a time, then byte by byte through the word that needs care.
        for (std::uint64_t word; i + 8 <= n; i += 8, w += 8) {
            std::memcpy(&word, p + i, 8);
            if (needs_escape(word)) break;
            std::memcpy(w, &word, 8);
        }
        for (const std::size_t stop = std::min(n, i + 8); i < stop; ++i) {
            const auto c = static_cast<unsigned char>(p[i]);
            const char kind = kEscapes[c];
            if (!kind)
                *w++ = static_cast<char>(c);
            else
                w = escape_with_room(out, w, c, kind, n - i + 1);
        }
    }
    *w++ = '"';
    out.commit(w);
}

// Code units of one storage kind (1, 2 or 4 bytes each) to UTF-8: at most 4 bytes per unit
// unless escaped.
template <typename Unit>
void write_units(const Unit* p, std::size_t n, Sink& out) {
    constexpr std::size_t widest = sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4;
    char* w = out.reserve(widest * n + 2);
    *w++ = '"';
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = p[i];
        if (c < 0x80) {
            const char kind = kEscapes[c];
            if (!kind)
                *w++ = static_cast<char>(c);
            else
                w = escape_with_room(out, w, c, kind, widest * (n - i) + 1);
        } else if (c < 0x800) {
            *w++ = static_cast<char>(0xC0 | (c >> 6));
            *w++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c < 0xE000) {
            // A surrogate stored in a str is always lone: pairs are stored as one code point.
            w = escape_with_room(out, w, c, 'u', widest * (n - i) + 1);
        } else if (c < 0x10000) {
            *w++ = static_cast<char>(0xE0 | (c >> 12));
            *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *w++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *w++ = static_cast<char>(0xF0 | (c >> 18));
            *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *w++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    *w++ = '"';
    out.commit(w);
}

}  // namespace

void write_string(PyObject* str, Sink& out) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    if (PyUnicode_IS_ASCII(str)) return write_ascii(static_cast<const char*>(data), n, out);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return write_units(static_cast<const Py_UCS1*>(data), n, out);
        case PyUnicode_2BYTE_KIND: return write_units(static_cast<const Py_UCS2*>(data), n, out);
        default: return write_units(static_cast<const Py_UCS4*>(data), n, out);
    }
}

}  // namespace korvane::json::detail
