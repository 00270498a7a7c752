// Reading one line of a server-sent event stream of chat chunks (pure C++, no Python).
#pragma once
#include <string_view>

namespace korvane::api {

enum class SseLine {
    skip,  // not a "data: " line
    done,  // the "[DONE]" marker: the stream is over
    data,  // a data line whose text is to be parsed
};

struct ClassifiedLine {
    SseLine kind;
    std::string_view data;  // for SseLine::data: everything after "data: ", untrimmed
};

// Classifies a line (valid UTF-8, without its line end). Only lines starting with exactly
// "data: " carry data; "[DONE]" counts with any surrounding whitespace in the interpreter's
// sense of str.strip().
ClassifiedLine classify_sse_line(std::string_view line);

// `text` with leading and trailing whitespace removed, as str.strip() would remove it.
std::string_view strip_unicode_whitespace(std::string_view text);

}  // namespace korvane::api
