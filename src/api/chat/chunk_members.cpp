// The top-level members of a streamed chunk's JSON object, walked without decoding them.
#include "api/chat/chunk_members.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace korvane::api {
namespace {

constexpr std::size_t npos = std::string_view::npos;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_space(std::string_view text, std::size_t at) {
    while (at < text.size() && is_space(text[at])) ++at;
    return at;
}

// How far a string is read byte by byte before jumping from quote to quote: most strings of a
// chunk (keys, short deltas) end sooner, and a byte loop costs less than a memchr call for them.
constexpr std::size_t kShortString = 24;

// Past the string that starts at `at` (a quote); npos when it does not end. Reads the first bytes
// one by one (a backslash escapes the byte after it), then jumps from quote to quote (memchr): a
// quote after an odd run of backslashes is escaped. The byte loop stops only where no escape is
// pending, so counting backslashes back to `at` is exact.
std::size_t skip_string(std::string_view text, std::size_t at) {
    const std::size_t short_end = std::min(text.size(), at + 1 + kShortString);
    for (++at; at < short_end; ++at) {
        if (text[at] == '"') return at + 1;
        if (text[at] == '\\') ++at;
    }
    while (at < text.size()) {
        const void* found = std::memchr(text.data() + at, '"', text.size() - at);
        if (!found) return npos;
        std::size_t quote = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
        std::size_t slashes = 0;
        while (quote - slashes > at && text[quote - slashes - 1] == '\\') ++slashes;
        if (slashes % 2 == 0) return quote + 1;
        at = quote + 1;
    }
    return npos;
}

// The bytes that matter inside a nested value: strings and brackets.
constexpr auto kStructural = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : {'"', '{', '}', '[', ']'}) table[c] = true;
    return table;
}();

// Past the value that starts at `at` (nested ones counted, not recursed into); npos when cut.
std::size_t skip_value(std::string_view text, std::size_t at) {
    if (at >= text.size()) return npos;
    if (text[at] == '"') return skip_string(text, at);
    if (text[at] == '{' || text[at] == '[') {
        std::size_t open = 0;
        while (at < text.size()) {
            while (at < text.size() && !kStructural[static_cast<unsigned char>(text[at])]) ++at;
            if (at >= text.size()) break;
            char c = text[at];
            if (c == '"') {
                at = skip_string(text, at);
                if (at == npos) return npos;
                continue;
            }
            if (c == '{' || c == '[') ++open;
            if ((c == '}' || c == ']') && --open == 0) return at + 1;
            ++at;
        }
        return npos;
    }
    std::size_t start = at;
    while (at < text.size() && text[at] != ',' && text[at] != '}' && text[at] != ']' && !is_space(text[at])) ++at;
    return at > start ? at : npos;
}

}  // namespace

bool walk_object_members(std::string_view data, const std::function<void(std::string_view, std::string_view)>& found) {
    std::size_t at = skip_space(data, 0);
    if (at >= data.size() || data[at] != '{') return false;
    at = skip_space(data, at + 1);
    if (at < data.size() && data[at] == '}') return skip_space(data, at + 1) == data.size();
    while (at < data.size() && data[at] == '"') {
        std::size_t key_end = skip_string(data, at);
        if (key_end == npos) return false;
        std::string_view key = data.substr(at, key_end - at);
        at = skip_space(data, key_end);
        if (at >= data.size() || data[at] != ':') return false;
        std::size_t value_at = skip_space(data, at + 1);
        std::size_t value_end = skip_value(data, value_at);
        if (value_end == npos) return false;
        found(key, data.substr(value_at, value_end - value_at));
        at = skip_space(data, value_end);
        if (at < data.size() && data[at] == '}') return skip_space(data, at + 1) == data.size();
        if (at >= data.size() || data[at] != ',') return false;
        at = skip_space(data, at + 1);
    }
    return false;
}

bool is_last_member_value(std::string_view data, std::size_t at) {
    std::size_t end = skip_value(data, skip_space(data, at));
    if (end == npos) return false;
    end = skip_space(data, end);
    return end < data.size() && data[end] == '}' && skip_space(data, end + 1) == data.size();
}

}  // namespace korvane::api
