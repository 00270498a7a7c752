// float.__repr__'s text for a finite double, without the interpreter's slow dtoa.
#pragma once

namespace korvane::json::detail {

// Longest text format_float() writes.
inline constexpr int kFloatTextMax = 32;

// Writes the text repr() gives `value` (finite): the shortest digits that read back to the same
// double, in fixed notation when the decimal exponent is from -4 to 15 (with ".0" on integral
// values), else as d.ddde+XX. Returns the end of the text.
char* format_float(double value, char* out);

}  // namespace korvane::json::detail
