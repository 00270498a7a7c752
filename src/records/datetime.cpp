// Date-times for records: ISO 8601 and Unix-time reading, ISO 8601 writing, lazy C API import.
#include "records/datetime.hpp"

#include <datetime.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>

namespace korvane::records::datetime {
namespace {

// datetime.h keeps the API pointer per translation unit: this file is the only user.
void load() {
    if (PyDateTimeAPI) return;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
}

Reading fail(const char* reason) { return Reading{{}, reason}; }

// Offsets repeat a lot (mostly UTC); one timezone object per offset is enough. The objects are
// kept for the process, so they can also be recognised again when writing. There are at most
// 2,879 offsets (whole minutes within a day either way). The maps are never destroyed: the
// objects they hold outlive every static destructor, and leak checkers see them as reachable.
std::unordered_map<int, PyObject*>& zones_by_offset() {
    static auto* zones = new std::unordered_map<int, PyObject*>();
    return *zones;
}

std::unordered_map<PyObject*, int>& offsets_by_zone() {
    static auto* offsets = new std::unordered_map<PyObject*, int>();
    return *offsets;
}

PyObject* timezone_for(int offset_seconds) {
    if (offset_seconds == 0) return PyDateTime_TimeZone_UTC;
    auto& zones = zones_by_offset();
    if (auto hit = zones.find(offset_seconds); hit != zones.end()) return hit->second;
    nb::object delta = nb::steal(PyDelta_FromDSU(0, offset_seconds, 0));
    if (!delta.is_valid()) throw nb::python_error();
    PyObject* zone = PyTimeZone_FromOffset(delta.ptr());
    if (!zone) throw nb::python_error();
    zones.emplace(offset_seconds, zone);
    offsets_by_zone().emplace(zone, offset_seconds);
    return zone;
}

Reading make(int year, int month, int day, int hour, int minute, int second, int micro, PyObject* zone) {
    PyObject* value = PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second, micro, zone,
                                                              PyDateTimeAPI->DateTimeType);
    if (!value) throw nb::python_error();
    return Reading{nb::steal(value), nullptr};
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads `count` decimal digits at `pos`.
bool read_digits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (!is_digit(s[i])) return false;
        value = value * 10 + (s[i] - '0');
    }
    out = value;
    return true;
}

// A plain number, optionally signed, optionally with a fraction: read as a Unix time.
bool is_number_text(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    }
    return digits > 0 && i == s.size();
}

constexpr const char* kYear0 = "year 0 is out of range";  // the datetime class's own refusal
constexpr const char* kBeforeYear0 = "dates before 0000 are not supported as unix timestamps";
constexpr const char* kAfterYear9999 = "dates after 9999 are not supported as unix timestamps";

Reading from_number_text(std::string_view s) {
    std::string text(s);
    if (text.find('.') == std::string::npos) {
        errno = 0;
        char* end = nullptr;
        long long timestamp = std::strtoll(text.c_str(), &end, 10);
        if (errno == ERANGE) return fail(text[0] == '-' ? kBeforeYear0 : kAfterYear9999);
        return from_unix(timestamp);
    }
    return from_unix(std::strtod(text.c_str(), nullptr));
}

// Days since 1970-01-01 -> civil date (proleptic Gregorian).
void civil_from_days(long long z, int& year, int& month, int& day) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

constexpr long long kYear0Unix = -62167219200LL;  // 0000-01-01T00:00:00Z
constexpr long long kMinUnix = -62135596800LL;    // 0001-01-01T00:00:00Z
constexpr long long kMaxUnix = 253402300799LL;    // 9999-12-31T23:59:59Z
// Unix times of a greater magnitude are milliseconds: as seconds they would lie beyond year 2603
// (or before 1336), while as milliseconds they cover every date from 1970-08-20 (and before
// 1969-05-14) onwards. Platforms send both forms; the rule is the one pydantic applies.
constexpr long long kMillisecondsBeyond = 20'000'000'000LL;

// Whole Unix seconds and microseconds -> aware UTC datetime.
Reading from_unix_seconds(long long seconds, int microseconds) {
    if (seconds < kYear0Unix) return fail(kBeforeYear0);
    if (seconds < kMinUnix) return Reading{{}, kYear0, true};
    if (seconds > kMaxUnix) return fail(kAfterYear9999);
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) rest += 86400, --days;
    int year, month, day;
    civil_from_days(days, year, month, day);
    const int hour = static_cast<int>(rest / 3600), minute = static_cast<int>(rest / 60 % 60),
              second = static_cast<int>(rest % 60);
    return make(year, month, day, hour, minute, second, microseconds, PyDateTime_TimeZone_UTC);
}

}  // namespace

bool is_datetime(PyObject* value) {
    load();
    return PyDateTime_Check(value);
}

bool is_date(PyObject* value) {
    load();
    return PyDate_Check(value);
}

bool is_timedelta(PyObject* value) {
    load();
    return PyDelta_Check(value);
}

nb::object duration_text(PyObject* delta) {
    load();
    long long days = PyDateTime_DELTA_GET_DAYS(delta);
    long long seconds = PyDateTime_DELTA_GET_SECONDS(delta);
    long long micro = PyDateTime_DELTA_GET_MICROSECONDS(delta);
    // timedelta keeps days signed and the rest positive; the text is the magnitude with a sign.
    const bool negative = days < 0;
    if (negative) {
        // Whole seconds fit 64 bits for any timedelta (microseconds would not).
        long long whole = -(days * 86400 + seconds);
        if (micro) --whole, micro = 1000000 - micro;
        days = whole / 86400;
        seconds = whole % 86400;
    }
    if (days == 0 && seconds == 0 && micro == 0) return nb::str("PT0S");
    std::string text = negative ? "-P" : "P";
    if (days >= 365) text += std::to_string(days / 365) + "Y";
    if (days % 365) text += std::to_string(days % 365) + "D";
    if (seconds || micro) {
        text += 'T';
        if (seconds >= 3600) text += std::to_string(seconds / 3600) + "H";
        if (seconds / 60 % 60) text += std::to_string(seconds / 60 % 60) + "M";
        if (seconds % 60 || micro) {
            text += std::to_string(seconds % 60);
            if (micro) {
                char fraction[8];
                std::snprintf(fraction, sizeof fraction, ".%06lld", micro);
                std::string digits(fraction);
                while (digits.back() == '0') digits.pop_back();
                text += digits;
            }
            text += 'S';
        }
    }
    return nb::str(text.c_str());
}

bool is_date_or_time(PyObject* value) {
    load();
    return PyDate_Check(value) || PyTime_Check(value);
}

Reading from_unix(long long timestamp) {
    load();
    if (timestamp <= kMillisecondsBeyond && timestamp >= -kMillisecondsBeyond) return from_unix_seconds(timestamp, 0);
    long long seconds = timestamp / 1000, milliseconds = timestamp % 1000;
    if (milliseconds < 0) milliseconds += 1000, --seconds;
    return from_unix_seconds(seconds, static_cast<int>(milliseconds * 1000));
}

Reading from_unix(double timestamp) {
    load();
    if (std::isnan(timestamp)) return fail("NaN values not permitted");
    const bool milliseconds = std::fabs(timestamp) > static_cast<double>(kMillisecondsBeyond);
    const double seconds = milliseconds ? timestamp / 1000 : timestamp;
    if (seconds < static_cast<double>(kYear0Unix)) return fail(kBeforeYear0);
    if (seconds >= static_cast<double>(kMaxUnix + 1)) return fail(kAfterYear9999);
    // Whole units and their fraction separately: the fraction of a millisecond count would be lost
    // in seconds (a double near 2.5e11 has steps of 30 microseconds).
    const double whole = std::floor(timestamp);
    long long units = static_cast<long long>(whole);
    long long micro = std::llround((timestamp - whole) * (milliseconds ? 1e3 : 1e6));
    if (milliseconds) {
        long long rest = units % 1000;
        units /= 1000;
        if (rest < 0) rest += 1000, --units;
        micro += rest * 1000;
    }
    if (micro >= 1000000) ++units, micro -= 1000000;
    return from_unix_seconds(units, static_cast<int>(micro));
}

Reading from_date(PyObject* date) {
    load();
    return make(PyDateTime_GET_YEAR(date), PyDateTime_GET_MONTH(date), PyDateTime_GET_DAY(date), 0, 0, 0, 0, Py_None);
}

namespace {

// Reads the "YYYY-MM-DD" that opens `s`; the reason when it is no date.
const char* read_date(std::string_view s, int& year, int& month, int& day) {
    if (s.size() < 10) return "input is too short";
    if (!read_digits(s, 0, 4, year)) return "invalid character in year";
    if (s[4] != '-') return "invalid date separator, expected `-`";
    if (!read_digits(s, 5, 2, month)) return "invalid character in month";
    if (s[7] != '-') return "invalid date separator, expected `-`";
    if (!read_digits(s, 8, 2, day)) return "invalid character in day";
    if (month < 1 || month > 12) return "month value is outside expected range of 1-12";
    if (day < 1 || day > days_in_month(year, month)) return "day value is outside expected range";
    return nullptr;
}

}  // namespace

const char* date_reason(std::string_view s, const char* reason) {
    if (is_number_text(s)) {
        // A whole number beyond 64 bits is no Unix time to pydantic: it reads it as a date.
        const std::string text(s);
        errno = 0;
        if (text.find('.') != std::string::npos || (std::strtoll(text.c_str(), nullptr, 10), errno != ERANGE)) {
            return reason;
        }
    }
    int year = 0, month = 0, day = 0;
    if (const char* date_error = read_date(s, year, month, day)) return date_error;
    return s.size() > 10 ? "unexpected extra characters at the end of the input" : reason;
}

Reading from_text(std::string_view s) {
    load();
    if (is_number_text(s)) return from_number_text(s);
    int year = 0, month = 0, day = 0;
    if (const char* date_error = read_date(s, year, month, day)) return fail(date_error);

    int hour = 0, minute = 0, second = 0, micro = 0;
    PyObject* zone = Py_None;
    std::size_t pos = 10;
    const std::size_t n = s.size();
    if (pos < n) {
        const char separator = s[pos];
        if (separator != 'T' && separator != 't' && separator != ' ' && separator != '_') {
            return fail("invalid datetime separator, expected `T`, `t`, `_` or space");
        }
        ++pos;
        if (n - pos < 5) return fail("input is too short");
        if (!read_digits(s, pos, 2, hour)) return fail("invalid character in hour");
        if (s[pos + 2] != ':') return fail("invalid time separator, expected `:`");
        if (!read_digits(s, pos + 3, 2, minute)) return fail("invalid character in minute");
        pos += 5;
        if (pos < n && s[pos] == ':') {
            if (!read_digits(s, pos + 1, 2, second)) return fail("invalid character in second");
            pos += 3;
            if (pos < n && (s[pos] == '.' || s[pos] == ',')) {
                const std::size_t start = ++pos;
                int scale = 100000;
                for (; pos < n && is_digit(s[pos]); ++pos) {
                    micro += (s[pos] - '0') * scale;  // digits past microseconds are cut off
                    scale /= 10;
                }
                if (pos == start) return fail("invalid character in second fraction");
            }
        }
        if (hour > 23) return fail("hour value is outside expected range of 0-23");
        if (minute > 59) return fail("minute value is outside expected range of 0-59");
        if (second > 59) return fail("second value is outside expected range of 0-59");
        if (pos < n) {
            const char sign = s[pos++];
            if (sign == 'Z' || sign == 'z') {
                zone = PyDateTime_TimeZone_UTC;
            } else if (sign == '+' || sign == '-') {
                int offset_hours = 0, offset_minutes = 0;
                if (!read_digits(s, pos, 2, offset_hours)) return fail("invalid timezone hour");
                pos += 2;
                // +HH, +HHMM or +HH:MM; a colon must be followed by the minutes.
                const bool colon = pos < n && s[pos] == ':';
                if (colon) ++pos;
                if (pos < n || colon) {
                    if (!read_digits(s, pos, 2, offset_minutes)) return fail("invalid timezone minute");
                    pos += 2;
                }
                if (offset_hours > 23) return fail("timezone offset must be less than 24 hours");
                if (offset_minutes > 59) return fail("timezone minute value is outside expected range of 0-59");
                const int offset = (offset_hours * 3600 + offset_minutes * 60) * (sign == '-' ? -1 : 1);
                zone = timezone_for(offset);
            } else {
                return fail("invalid timezone sign");
            }
            if (pos != n) return fail("unexpected extra characters at the end of the input");
        }
    }
    if (year == 0) return Reading{{}, kYear0, true};
    return make(year, month, day, hour, minute, second, micro, zone);
}

namespace {

char* put_digits(char* out, long long value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
    return out + width;
}

// The offset of an aware datetime in seconds; false when naive (or tzinfo gives None).
bool utc_offset(PyObject* value, PyObject* zone, long long& seconds) {
    if (zone == PyDateTime_TimeZone_UTC) {
        seconds = 0;
        return true;
    }
    auto& known = offsets_by_zone();
    if (auto hit = known.find(zone); hit != known.end()) {
        seconds = hit->second;
        return true;
    }
    static PyObject* name = nullptr;  // kept for the process; made again if making it failed
    if (!name && !(name = PyUnicode_InternFromString("utcoffset"))) throw nb::python_error();
    nb::object offset = nb::steal(PyObject_CallMethodNoArgs(value, name));
    if (!offset.is_valid()) throw nb::python_error();
    if (!PyDelta_Check(offset.ptr())) return false;
    seconds = PyDateTime_DELTA_GET_DAYS(offset.ptr()) * 86400LL + PyDateTime_DELTA_GET_SECONDS(offset.ptr());
    return true;
}

}  // namespace

nb::object to_text(PyObject* value) {
    load();
    char buffer[48];
    char* out = put_digits(buffer, PyDateTime_GET_YEAR(value), 4);
    *out++ = '-';
    out = put_digits(out, PyDateTime_GET_MONTH(value), 2);
    *out++ = '-';
    out = put_digits(out, PyDateTime_GET_DAY(value), 2);
    *out++ = 'T';
    out = put_digits(out, PyDateTime_DATE_GET_HOUR(value), 2);
    *out++ = ':';
    out = put_digits(out, PyDateTime_DATE_GET_MINUTE(value), 2);
    *out++ = ':';
    out = put_digits(out, PyDateTime_DATE_GET_SECOND(value), 2);
    if (const int micro = PyDateTime_DATE_GET_MICROSECOND(value)) {
        *out++ = '.';
        out = put_digits(out, micro, 6);
    }
    PyObject* zone = PyDateTime_DATE_GET_TZINFO(value);
    long long offset = 0;
    if (zone != Py_None && utc_offset(value, zone, offset)) {
        if (offset == 0) {
            *out++ = 'Z';
        } else {
            *out++ = offset < 0 ? '-' : '+';
            offset = std::llabs(offset);
            out = put_digits(out, offset / 3600, 2);
            *out++ = ':';
            out = put_digits(out, offset / 60 % 60, 2);
            if (offset % 60) {
                *out++ = ':';
                out = put_digits(out, offset % 60, 2);
            }
        }
    }
    PyObject* text = PyUnicode_FromStringAndSize(buffer, out - buffer);
    if (!text) throw nb::python_error();
    return nb::steal(text);
}

}  // namespace korvane::records::datetime
