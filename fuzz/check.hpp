// The check every fuzz target stops on when it finds a fault.
#pragma once
#include <cstdio>

namespace fuzz {

// Stops the run on a finding; libFuzzer keeps the input that got here as the reproducer.
[[noreturn]] inline void found(const char* what, const char* file, int line) {
    std::fprintf(stderr, "\nfuzz check failed: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    __builtin_trap();
}

}  // namespace fuzz

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::fuzz::found(#condition, __FILE__, __LINE__))
