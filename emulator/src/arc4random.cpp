// std::random_device in the static C++ runtime draws from arc4random(), which the C library has
// only since 2.36. The emulator is linked with --wrap=arc4random, so those calls land here and
// read getrandom(2) (2.25) instead: the binary then runs on older C libraries too.
#include <cstdint>
#include <cstdlib>

#include "entropy.hpp"

extern "C" std::uint32_t __wrap_arc4random(void) {
    std::uint32_t value = 0;
    // As arc4random itself: it has no way to report a failure.
    if (!korvane::emulator::read_entropy(&value, sizeof value)) std::abort();
    return value;
}
