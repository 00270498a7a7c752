// ISO 8601 conversion on top of std::chrono's civil calendar.
#include "clock.hpp"

#include <chrono>
#include <cstdio>

namespace korvane::emulator {
namespace {

using namespace std::chrono;

bool read_digits(std::string_view text, std::size_t& pos, std::size_t count, int& out) {
    if (pos + count > text.size()) return false;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        char c = text[pos + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    pos += count;
    return true;
}

bool take(std::string_view text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

}  // namespace

Micros now_micros() { return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count(); }

std::string iso_utc(Micros t) {
    sys_time<microseconds> tp{microseconds{t}};
    auto day = floor<days>(tp);
    year_month_day ymd{day};
    hh_mm_ss<microseconds> tod{tp - day};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02ld:%02ld:%02lld.%06lldZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<long>(tod.hours().count()), static_cast<long>(tod.minutes().count()),
                  static_cast<long long>(tod.seconds().count()), static_cast<long long>(tod.subseconds().count()));
    return buf;
}

std::string month_period(Micros t) {
    sys_time<microseconds> tp{microseconds{t}};
    year_month_day ymd{floor<days>(tp)};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()));
    return buf;
}

std::optional<Micros> parse_iso(std::string_view text) {
    std::size_t pos = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!read_digits(text, pos, 4, y) || !take(text, pos, '-') || !read_digits(text, pos, 2, mo) ||
        !take(text, pos, '-') || !read_digits(text, pos, 2, d)) {
        return std::nullopt;
    }
    year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    long long micros = 0;
    if (pos < text.size() && (text[pos] == 'T' || text[pos] == 't' || text[pos] == ' ')) {
        ++pos;
        if (!read_digits(text, pos, 2, h) || !take(text, pos, ':') || !read_digits(text, pos, 2, mi)) {
            return std::nullopt;
        }
        if (take(text, pos, ':')) {
            if (!read_digits(text, pos, 2, s)) return std::nullopt;
            if (take(text, pos, '.') || take(text, pos, ',')) {
                int digits = 0;
                long long frac = 0;
                while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
                    if (digits < 6) {
                        frac = frac * 10 + (text[pos] - '0');
                        ++digits;
                    }
                    ++pos;
                }
                if (digits == 0) return std::nullopt;
                while (digits++ < 6) frac *= 10;
                micros = frac;
            }
        }
        if (h > 23 || mi > 59 || s > 60) return std::nullopt;
    }
    long long offset_minutes = 0;
    if (pos < text.size()) {
        char sign = text[pos];
        if (sign == 'Z' || sign == 'z') {
            ++pos;
        } else if (sign == '+' || sign == '-' || sign == ' ') {
            ++pos;
            int oh = 0, om = 0;
            if (!read_digits(text, pos, 2, oh)) return std::nullopt;
            take(text, pos, ':');
            if (!read_digits(text, pos, 2, om)) return std::nullopt;
            if (oh > 23 || om > 59) return std::nullopt;
            offset_minutes = (sign == '-' ? -1 : 1) * (oh * 60LL + om);
        } else {
            return std::nullopt;
        }
    }
    if (pos != text.size()) return std::nullopt;
    auto tp = sys_days{ymd} + hours{h} + minutes{mi} + seconds{s} + microseconds{micros} - minutes{offset_minutes};
    return duration_cast<microseconds>(tp.time_since_epoch()).count();
}

}  // namespace korvane::emulator
