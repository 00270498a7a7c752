// The line splitter behind Response.iter_lines().
#include "http/line_buffer.hpp"

namespace korvane::http {

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
    size_t end = rest.find_first_of("\r\n", scanned_);
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

void LineBuffer::clear() {
    data_.clear();
    start_ = 0;
    scanned_ = 0;
    skip_lf_ = false;
}

}  // namespace korvane::http
