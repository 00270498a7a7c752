// The line splitter behind Response.iter_lines().
#include "http/line_buffer.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::http {
namespace {

// The first CR or LF at or after `from`, or npos. One pass that looks for both at once, 16 bytes
// a step: string_view's find_first_of calls memchr once per byte, and two memchr passes (one per
// character) cost more in call set-up than the search itself for lines of a few hundred bytes.
size_t line_end(std::string_view text, size_t from) {
    const char* const begin = text.data();
    size_t at = from;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    for (; at + 16 <= text.size(); at += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + at));
        const int found = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, lf), _mm_cmpeq_epi8(block, cr)));
        if (found) return at + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(found)));
    }
#endif
    for (; at < text.size(); ++at) {
        if (begin[at] == '\n' || begin[at] == '\r') return at;
    }
    return std::string_view::npos;
}

}  // namespace

void LineBuffer::append(std::string& bytes) {
    if (bytes.empty()) return;
    if (start_ == data_.size()) {
        data_.swap(bytes);
        start_ = 0;
        scanned_ = 0;
    } else {
        if (start_ > 0 && start_ >= data_.size() / 2) {
            // Drop what was handed out before growing, so the buffer holds about one line.
            data_.erase(0, start_);
            start_ = 0;
        }
        data_.append(bytes);
    }
    bytes.clear();
}

std::optional<std::string_view> LineBuffer::next_line(bool at_end) {
    if (skip_lf_ && start_ < data_.size()) {
        skip_lf_ = false;
        if (data_[start_] == '\n') {
            ++start_;
            if (scanned_ > 0) --scanned_;
        }
    }
    std::string_view rest(data_.data() + start_, data_.size() - start_);
    size_t end = line_end(rest, scanned_);
    if (end == std::string_view::npos) {
        scanned_ = rest.size();
        if (!at_end || rest.empty()) return std::nullopt;
        start_ = data_.size();
        scanned_ = 0;
        return rest;
    }
    size_t consumed = end + 1;
    if (rest[end] == '\r') {
        if (end + 1 < rest.size()) {
            if (rest[end + 1] == '\n') ++consumed;
        } else {
            // The LF of a CR LF may still be on its way; the line is complete either way.
            skip_lf_ = true;
        }
    }
    start_ += consumed;
    scanned_ = 0;
    return rest.substr(0, end);
}

void LineBuffer::hand_over_pending(std::string& into) {
    into.assign(data_, start_, std::string::npos);
    data_.clear();
    start_ = 0;
    scanned_ = 0;  // the moved part is searched again: it is short
}

void LineBuffer::clear() {
    data_.clear();
    start_ = 0;
    scanned_ = 0;
    skip_lf_ = false;
}

}  // namespace korvane::http
