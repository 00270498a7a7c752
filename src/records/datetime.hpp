// Date-times for records: reading ISO 8601 text and Unix times, writing ISO 8601 text.
#pragma once
#include <nanobind/nanobind.h>

#include <string_view>

namespace korvane::records::datetime {

namespace nb = nanobind;

// The interpreter's datetime C API is imported on first use, so importing the records stays cheap.
bool is_datetime(PyObject* value);
bool is_date_or_time(PyObject* value);  // datetime.date or datetime.time (a datetime counts as a date)

// The result of reading: a datetime, or the reason it could not be read.
struct Reading {
    nb::object value;
    const char* error = nullptr;
};

// "YYYY-MM-DD", optionally followed by "T", "t", "_" or " " and "HH:MM[:SS[.ffffff]]" and an
// offset "Z", "+HH:MM", "+HHMM" or "+HH" (or "-"). Fractions beyond microseconds are cut off.
// Without an offset the datetime is naive. Text that is a plain number is a Unix time.
Reading from_text(std::string_view text);

// Unix seconds -> aware UTC datetime.
Reading from_unix(long long seconds, int microseconds = 0);
Reading from_unix(double seconds);

// ISO 8601 text of a datetime: "Z" for a zero offset, "+HH:MM" otherwise, nothing when naive.
nb::object to_text(PyObject* value);

}  // namespace korvane::records::datetime
