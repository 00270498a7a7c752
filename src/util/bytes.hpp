// Byte comparisons for the short keys and names the readers match many times per answer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvane::util {

// Whether the first and the last word of `n` bytes (sizeof(Word) <= n <= 2 * sizeof(Word)) are
// equal at `a` and `b`: together they cover all `n` bytes, and both loads stay inside them.
template <typename Word>
bool same_ends(const char* a, const char* b, std::size_t n) {
    Word a0, b0, a1, b1;
    std::memcpy(&a0, a, sizeof(Word));
    std::memcpy(&b0, b, sizeof(Word));
    std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
    std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// Whether `n` bytes at `a` and `b` are equal. Up to 16 bytes take at most two pairs of word loads:
// a call into the C library costs more than that.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) return same_ends<std::uint64_t>(a, b, n);
    if (n >= 4) return same_ends<std::uint32_t>(a, b, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

inline bool same_bytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

}  // namespace korvane::util
