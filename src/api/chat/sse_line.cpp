// Classification of server-sent event lines and the interpreter's notion of whitespace.
#include "api/chat/sse_line.hpp"

#include <cstdint>

namespace korvane::api {
namespace {

constexpr std::string_view kDataPrefix = "data: ";
constexpr std::string_view kDone = "[DONE]";

// The code points that str.isspace() accepts.
bool is_space(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
    if (c < 0x85) return false;
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// Length of the UTF-8 sequence that starts with `lead` (the text is known to be valid).
size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

char32_t decode(std::string_view text, size_t at, size_t length) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    switch (length) {
        case 1: return byte(0);
        case 2: return (char32_t(byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
        case 3: return (char32_t(byte(0) & 0x0F) << 12) | (char32_t(byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
        default:
            return (char32_t(byte(0) & 0x07) << 18) | (char32_t(byte(1) & 0x3F) << 12) |
                   (char32_t(byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
    }
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string_view strip_unicode_whitespace(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        size_t length = sequence_length(static_cast<unsigned char>(text[begin]));
        if (begin + length > text.size() || !is_space(decode(text, begin, length))) break;
        begin += length;
    }
    size_t end = text.size();
    while (end > begin) {
        size_t start = end - 1;
        while (start > begin && is_continuation(text[start])) --start;
        if (!is_space(decode(text, start, end - start))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

ClassifiedLine classify_sse_line(std::string_view line) {
    if (!line.starts_with(kDataPrefix)) return {SseLine::skip, {}};
    std::string_view data = line.substr(kDataPrefix.size());
    // Chunk objects start with "{" and cannot be the marker: only other text pays for the trim.
    if (!data.starts_with('{') && strip_unicode_whitespace(data) == kDone) {
        return {SseLine::done, {}};
    }
    return {SseLine::data, data};
}

}  // namespace korvane::api
