// Stack headroom checks, so recursion over deep input raises an error instead of overflowing.
#pragma once
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace korvane::util {

// The lowest address recursion may reach on the calling thread: the end of its stack as the
// system reports it, plus a reserve for the interpreter's own calls made from inside the
// recursion (a quarter of the stack, at most 256 KiB). 0 when the system does not tell.
// Threads may have small stacks (threading.stack_size), so no fixed depth is safe on its own.
inline std::uintptr_t stack_floor() {
    thread_local const std::uintptr_t floor = [] {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return std::uintptr_t{0};
        void* lowest = nullptr;
        std::size_t size = 0;
        const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
        pthread_attr_destroy(&attributes);
        if (!known) return std::uintptr_t{0};
        return reinterpret_cast<std::uintptr_t>(lowest) + std::min<std::size_t>(size / 4, std::size_t{256} << 10);
    }();
    return floor;
}

// True when the caller's frame lies below `floor` (from stack_floor(); stacks grow downwards).
[[gnu::always_inline]] inline bool below_stack_floor(std::uintptr_t floor) {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < floor;
}

}  // namespace korvane::util
