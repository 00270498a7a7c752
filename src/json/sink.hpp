// The writer's output cursor over a std::string.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace korvane::json::detail {

// Appends to a std::string through a raw cursor: room is reserved in bulk and written through a
// pointer, and the string's length is settled once, when the sink goes (also when an exception
// ends the writing early, so the string always holds exactly what was written).
class Sink {
public:
    explicit Sink(std::string& out) : out_(out), length_(out.size()) {}
    ~Sink() { out_.resize(length_); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Where to write at least `n` more bytes; earlier pointers are invalid afterwards.
    char* reserve(std::size_t n) {
        if (out_.size() - length_ < n) out_.resize(std::max(out_.size() * 2, length_ + n + 256));
        return out_.data() + length_;
    }
    // Marks everything before `end` (a pointer from the latest reserve()) as written.
    void commit(char* end) { length_ = static_cast<std::size_t>(end - out_.data()); }

    void put(char c) {
        char* w = reserve(1);
        *w = c;
        commit(w + 1);
    }
    void append(const char* bytes, std::size_t n) {
        char* w = reserve(n);
        std::memcpy(w, bytes, n);
        commit(w + n);
    }
    template <std::size_t N>
    void literal(const char (&text)[N]) {
        append(text, N - 1);
    }

private:
    std::string& out_;
    std::size_t length_;
};

}  // namespace korvane::json::detail
