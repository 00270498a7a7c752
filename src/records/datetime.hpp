// Date-times for records: reading ISO 8601 text and Unix times, writing ISO 8601 text.
#pragma once
#include <nanobind/nanobind.h>

#include <string_view>

namespace korvane::records::datetime {

namespace nb = nanobind;

// The interpreter's datetime C API is imported on first use, so importing the records stays cheap.
bool is_datetime(PyObject* value);
bool is_date(PyObject* value);  // datetime.date, a datetime included
bool is_date_or_time(PyObject* value);
bool is_timedelta(PyObject* value);

// ISO 8601 duration of a timedelta, as pydantic writes it: "P1Y35DT1H1M1.5S" (a year is 365
// days), "-PT1.5S", "PT0S".
nb::object duration_text(PyObject* delta);  // datetime.date or datetime.time (a datetime counts as a date)

// The result of reading: a datetime, or the reason it could not be read.
struct Reading {
    nb::object value;
    const char* error = nullptr;
    // The text or number was read, but names no date the datetime class holds (year 0).
    bool out_of_range = false;
};

// "YYYY-MM-DD", optionally followed by "T", "t", "_" or " " and "HH:MM[:SS[.ffffff]]" and an
// offset "Z", "+HH:MM", "+HHMM" or "+HH" (or "-"). Fractions beyond microseconds are cut off.
// Without an offset the datetime is naive. Text that is a plain number is a Unix time.
Reading from_text(std::string_view text);

// Why text that is no date-time (`reason`, from from_text()) is no date either: a text that is
// neither is refused for the reason its date reading gives, as pydantic reports it.
const char* date_reason(std::string_view text, const char* reason);

// A Unix time -> aware UTC datetime: seconds, or milliseconds when its magnitude exceeds 2e10.
Reading from_unix(long long timestamp);
Reading from_unix(double timestamp);

// A datetime.date (not a datetime) -> naive datetime at its midnight.
Reading from_date(PyObject* date);

// ISO 8601 text of a datetime: "Z" for a zero offset, "+HH:MM" otherwise, nothing when naive.
nb::object to_text(PyObject* value);

}  // namespace korvane::records::datetime
