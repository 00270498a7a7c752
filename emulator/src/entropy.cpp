// getrandom(2) read to the end: the call may return fewer bytes, or be interrupted by a signal.
#include "entropy.hpp"

#include <sys/random.h>

#include <cerrno>

namespace korvane::emulator {

bool read_entropy(void* out, std::size_t size) noexcept {
    auto* bytes = static_cast<unsigned char*>(out);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(bytes + got, size - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace korvane::emulator
