// Shortest round-trip digits from std::to_chars, laid out the way float.__repr__ lays them out.
#include "json/float_format.hpp"

#include <charconv>
#include <cstring>

namespace korvane::json::detail {

char* format_float(double value, char* out) {
    // Scientific form with the shortest round-trip digits: [-]d[.ddd]e(+|-)xx.
    char scientific[kFloatTextMax];
    const char* end =
        std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
    const char* p = scientific;
    if (*p == '-') *out++ = *p++;
    char digits[20];
    int count = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    ++p;
    const bool negative_exponent = *p == '-';
    ++p;
    int exponent = 0;
    for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;

    const int point = exponent + 1;  // digits before the decimal point
    if (point <= -4 || point > 16) {
        *out++ = digits[0];
        if (count > 1) {
            *out++ = '.';
            std::memcpy(out, digits + 1, static_cast<std::size_t>(count - 1));
            out += count - 1;
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude >= 100) *out++ = static_cast<char>('0' + magnitude / 100);
        *out++ = static_cast<char>('0' + magnitude / 10 % 10);
        *out++ = static_cast<char>('0' + magnitude % 10);
    } else if (point <= 0) {
        *out++ = '0';
        *out++ = '.';
        std::memset(out, '0', static_cast<std::size_t>(-point));
        out += -point;
        std::memcpy(out, digits, static_cast<std::size_t>(count));
        out += count;
    } else if (point >= count) {
        std::memcpy(out, digits, static_cast<std::size_t>(count));
        out += count;
        std::memset(out, '0', static_cast<std::size_t>(point - count));
        out += point - count;
        *out++ = '.';
        *out++ = '0';
    } else {
        std::memcpy(out, digits, static_cast<std::size_t>(point));
        out += point;
        *out++ = '.';
        std::memcpy(out, digits + point, static_cast<std::size_t>(count - point));
        out += count - point;
    }
    return out;
}

}  // namespace korvane::json::detail
