// Wall-clock timestamps: ISO 8601 formatting and parsing in UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::emulator {

// Microseconds since the Unix epoch, UTC.
using Micros = std::int64_t;

Micros now_micros();

// 2026-12-07T20:52:38.123456Z
std::string iso_utc(Micros t);

// "2026-12" for monthly usage periods.
std::string month_period(Micros t);

// Accepts YYYY-MM-DD, optionally followed by T (or a blank) HH:MM[:SS[.fraction]]
// and an offset Z, +HH:MM, -HH:MM or +HHMM. Text without an offset is UTC.
// A blank where the offset sign stands is read as "+": query decoding turns an
// unescaped "+" into a blank.
std::optional<Micros> parse_iso(std::string_view text);

}  // namespace korvane::emulator
