// OS entropy from getrandom(2) (C library 2.25 on), for the emulator's keys and for the C++
// runtime's arc4random() calls. Callers keep their own failure policy.
#pragma once
#include <cstddef>

namespace korvane::emulator {

// Fills `size` bytes at `out`, retrying after interruptions; false when the kernel refuses.
bool read_entropy(void* out, std::size_t size) noexcept;

}  // namespace korvane::emulator
