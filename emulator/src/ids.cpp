// Identifier generation: fast per-thread generator for ids, OS entropy for keys.
#include "ids.hpp"

#include <cstdint>
#include <random>
#include <stdexcept>

#include "entropy.hpp"

namespace korvane::emulator {
namespace {

// OS entropy read with getrandom(2), usable wherever a random engine is. (std::random_device
// would do the same but ties the binary to a C library from 2022 on.)
struct OsEntropy {
    using result_type = std::uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~result_type{0}; }
    result_type operator()() {
        result_type value = 0;
        if (!read_entropy(&value, sizeof value)) throw std::runtime_error("getrandom failed");
        return value;
    }
};

constexpr char hex_digits_table[] = "0123456789abcdef";

template <class Engine>
std::string random_hex(Engine& engine, std::size_t count) {
    std::string out;
    out.reserve(count);
    std::uniform_int_distribution<int> digit(0, 15);
    for (std::size_t i = 0; i < count; ++i) out.push_back(hex_digits_table[digit(engine)]);
    return out;
}

}  // namespace

std::string new_id(std::string_view prefix, std::size_t hex_digits) {
    thread_local std::mt19937_64 engine{OsEntropy{}()};
    return std::string(prefix) + random_hex(engine, hex_digits);
}

std::string new_api_key() {
    // Keys must not be guessable from ids handed out earlier, so they do not
    // share the id generator's state.
    OsEntropy entropy;
    return "sk-korvane-" + random_hex(entropy, 40);
}

}  // namespace korvane::emulator
