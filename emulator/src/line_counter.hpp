// Counts bytes and non-blank lines of a stream fed in arbitrary pieces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::emulator {

class LineCounter {
public:
    void feed(const char* data, std::size_t size);
    // Counts a last line that has no newline after it.
    void finish();

    std::int64_t bytes() const { return bytes_; }
    std::int64_t lines() const { return lines_; }

private:
    std::int64_t bytes_ = 0;
    std::int64_t lines_ = 0;
    bool line_has_content_ = false;
};

}  // namespace korvane::emulator
