// Escapes and encodes str objects for the writer, reading the interpreter's compact storage directly.
#include "json/string_writer.hpp"

#include <array>

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

// Writes the escape of `c` at `w`; returns the position after it.
char* put_escape(char* w, unsigned c, char kind) {
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

void write_ascii(const char* p, std::size_t n, std::string& out) {
    const char* run = p;
    const char* const end = p + n;
    for (; p < end; ++p) {
        const char kind = kEscapes[static_cast<unsigned char>(*p)];
        if (!kind) continue;
        out.append(run, p);
        char escape[6];
        out.append(escape, put_escape(escape, static_cast<unsigned char>(*p), kind));
        run = p + 1;
    }
    out.append(run, end);
}

// Code units of one storage kind (1, 2 or 4 bytes each) to UTF-8. At most 6 bytes per unit
// (\u00XX or a \udxxx escape), so the output is sized once and trimmed after.
template <typename Unit>
void write_units(const Unit* p, std::size_t n, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + 6 * n);
    char* w = out.data() + start;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = p[i];
        if (c < 0x80) {
            const char kind = kEscapes[c];
            if (kind) w = put_escape(w, c, kind);
            else *w++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *w++ = static_cast<char>(0xC0 | (c >> 6));
            *w++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c < 0xE000) {
            // A surrogate stored in a str is always lone: pairs are stored as one code point.
            w = put_escape(w, c, 'u');
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
    out.resize(static_cast<std::size_t>(w - out.data()));
}

}  // namespace

void write_string(PyObject* str, std::string& out) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    out += '"';
    if (PyUnicode_IS_ASCII(str)) {
        write_ascii(static_cast<const char*>(data), n, out);
    } else {
        switch (PyUnicode_KIND(str)) {
            case PyUnicode_1BYTE_KIND: write_units(static_cast<const Py_UCS1*>(data), n, out); break;
            case PyUnicode_2BYTE_KIND: write_units(static_cast<const Py_UCS2*>(data), n, out); break;
            default: write_units(static_cast<const Py_UCS4*>(data), n, out); break;
        }
    }
    out += '"';
}

}  // namespace korvane::json::detail
