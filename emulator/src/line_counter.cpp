// LineCounter: one pass, constant memory; blank and whitespace-only lines do not count.
#include "line_counter.hpp"

namespace korvane::emulator {

void LineCounter::feed(const char* data, std::size_t size) {
    bytes_ += static_cast<std::int64_t>(size);
    for (std::size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c == '\n') {
            if (line_has_content_) ++lines_;
            line_has_content_ = false;
        } else if (c != ' ' && c != '\t' && c != '\r') {
            line_has_content_ = true;
        }
    }
}

void LineCounter::finish() {
    if (line_has_content_) ++lines_;
    line_has_content_ = false;
}

}  // namespace korvane::emulator
