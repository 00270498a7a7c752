// Fuzz target: the line splitter of streamed answers against a whole-text reference splitter.
//
// Input: two bytes choosing how the stream is cut into reads and when lines are pulled, then
// the stream itself. However the reads fall, the lines must be those of the whole text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "http/line_buffer.hpp"

namespace {

// Lines ending at LF, CR LF or CR; a last line without an ending counts when not empty.
std::vector<std::string> reference_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' || c == '\r') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// A small deterministic generator, so one input always makes the same reads.
struct Steps {
    std::uint32_t state;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t shape = data[0];
    Steps steps{0x9E3779B9u ^ (std::uint32_t{data[0]} << 8) ^ data[1]};
    const std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);

    // Longest read: from single bytes to everything at once.
    static constexpr std::size_t kLongest[] = {1, 2, 3, 5, 16, 64, 4096, 1 << 20};
    const std::size_t longest = kLongest[shape & 7];
    // How eagerly lines are pulled: after every read, now and then, or only at the end.
    const unsigned pull = (shape >> 3) & 3;

    korvane::http::LineBuffer buffer;
    std::vector<std::string> lines;
    auto drain = [&](bool at_end) {
        while (auto line = buffer.next_line(at_end)) lines.emplace_back(*line);
    };

    std::size_t at = 0;
    while (at < stream.size()) {
        const std::size_t length = std::min<std::size_t>(stream.size() - at, 1 + steps.next() % longest);
        std::string read(stream.substr(at, length));
        buffer.append(read);
        FUZZ_CHECK(read.empty());
        at += length;
        if (pull == 0 || (pull == 1 && steps.next() % 3 == 0)) drain(false);
        if (pull == 2 && steps.next() % 2 == 0) {
            // Pull a single line, as a caller that stops after each one does.
            if (auto line = buffer.next_line(false)) lines.emplace_back(*line);
        }
    }
    drain(true);
    FUZZ_CHECK(buffer.pending() == 0);
    FUZZ_CHECK(!buffer.next_line(true));
    FUZZ_CHECK(lines == reference_lines(stream));
    return 0;
}
