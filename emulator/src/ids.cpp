// Identifier generation: fast per-thread generator for ids, OS entropy for keys.
#include "ids.hpp"

#include <random>

namespace korvane::emulator {
namespace {

constexpr char hex_digits_table[] = "0123456789abcdef";

template <class Engine> std::string random_hex(Engine &engine, std::size_t count) {
  std::string out;
  out.reserve(count);
  std::uniform_int_distribution<int> digit(0, 15);
  for (std::size_t i = 0; i < count; ++i) out.push_back(hex_digits_table[digit(engine)]);
  return out;
}

} // namespace

std::string new_id(std::string_view prefix, std::size_t hex_digits) {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::string(prefix) + random_hex(engine, hex_digits);
}

std::string new_api_key() {
  // Keys must not be guessable from ids handed out earlier, so they do not
  // share the id generator's state.
  std::random_device device;
  return "sk-korvane-" + random_hex(device, 40);
}

} // namespace korvane::emulator
