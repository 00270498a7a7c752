// Splits a byte stream into lines ending at LF, CR LF or CR, wherever the reads happen to break.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::http {

class LineBuffer {
public:
    // Takes the next bytes of the stream (swapped in without a copy when nothing is pending).
    void append(std::string& bytes);
    // The next complete line without its ending; with `at_end`, also the last unterminated line.
    // The view stays valid until the next call.
    std::optional<std::string_view> next_line(bool at_end);
    // Bytes received and not yet handed out as lines.
    size_t pending() const { return data_.size() - start_; }
    // Moves the bytes not yet handed out (part of one line) to `into`, which must be empty, so
    // that what arrives next is appended there and append() takes it all back without copying it.
    void hand_over_pending(std::string& into);
    void clear();

private:
    std::string data_;
    size_t start_ = 0;      // first byte not yet handed out
    size_t scanned_ = 0;    // bytes from start_ already searched for a line ending
    bool skip_lf_ = false;  // the last line ended in CR: a LF right after it belongs to it
};

}  // namespace korvane::http
