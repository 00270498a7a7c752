// Random identifiers and API keys.
#pragma once

#include <string>
#include <string_view>

namespace korvane::emulator {

// prefix followed by `hex_digits` random hex digits, e.g. "fb_3f9a...".
std::string new_id(std::string_view prefix, std::size_t hex_digits = 16);

// A fresh tenant key from the operating system's random source.
std::string new_api_key();

}  // namespace korvane::emulator
