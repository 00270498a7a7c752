// The line splitter behind Response.iter_lines().
#include "http/line_buffer.hpp"

#include <cstring>

namespace korvane::http {
namespace {

// The first CR or LF at or after `from`, or npos. Two memchr passes: string_view's
// find_first_of calls memchr once per byte of the text, which dominated streaming.
size_t line_end(std::string_view text, size_t from) {
    if (from >= text.size()) return std::string_view::npos;
    const char* begin = text.data() + from;
    size_t length = text.size() - from;
    const void* lf = std::memchr(begin, '\n', length);
    if (lf) length = static_cast<size_t>(static_cast<const char*>(lf) - begin);
    const void* cr = std::memchr(begin, '\r', length);
    const void* found = cr ? cr : lf;
    if (!found) return std::string_view::npos;
    return static_cast<size_t>(static_cast<const char*>(found) - text.data());
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
