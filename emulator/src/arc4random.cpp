// std::random_device in the static C++ runtime draws from arc4random(), which the C library has
// only since 2.36. The emulator is linked with --wrap=arc4random, so those calls land here and
// read getrandom(2) (2.25) instead: the binary then runs on older C libraries too.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" std::uint32_t __wrap_arc4random(void) {
    std::uint32_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    std::size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = getrandom(bytes + got, sizeof value - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            std::abort();  // as arc4random itself: it has no way to report a failure
        }
    }
    return value;
}
