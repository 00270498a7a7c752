// Fuzz target: the ISO 8601 date-time reader of the records, against a reference in Python.
//
// Input: the text of a date-time member as received. The reader must accept exactly the forms
// it documents, with the values the interpreter's datetime gives for them (a plain number as a
// Unix time in seconds, or in milliseconds beyond 2e10, exact but for the rounding of a double),
// and what it reads must come back the same when written as ISO 8601 text and read again.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "python_embed.hpp"
#include "records/datetime.hpp"

namespace {

namespace nb = nanobind;

constexpr const char* kHelpers = R"(
import datetime, decimal, re

UTC = datetime.timezone.utc
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=UTC)
FIRST = -62135596800          # 0001-01-01T00:00:00Z
LAST = 253402300799           # 9999-12-31T23:59:59Z
MILLISECONDS_BEYOND = 20000000000  # Unix times of a greater magnitude count milliseconds

ISO = re.compile(rb'(\d{4})-(\d{2})-(\d{2})'
                 rb'(?:[Tt_ ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d+))?)?'
                 rb'(?:([Zz])|([+-])(\d{2})(?::?(\d{2}))?)?)?\Z')
NUMBER = re.compile(rb'[+-]?(?:\d+(?:\.\d*)?|\.\d+)\Z')

def expected(text):
    """('value', datetime), ('none', None) when the text must be refused, or ('near', exact
    seconds) for a Unix time that a double may round either way."""
    if NUMBER.match(text):
        exact = decimal.Decimal(text.decode())
        milliseconds = abs(exact) > MILLISECONDS_BEYOND
        if b'.' not in text:
            seconds, rest = divmod(int(exact), 1000) if milliseconds else (int(exact), 0)
            if FIRST <= seconds <= LAST:
                return 'value', EPOCH + datetime.timedelta(seconds=seconds, milliseconds=rest)
            return 'none', None
        if milliseconds:
            exact /= 1000
        if FIRST + 1 <= exact <= LAST:
            return 'near', exact
        if exact < FIRST - 1 or exact > LAST + 2:
            return 'none', None
        return 'either', None
    match = ISO.match(text)
    if not match:
        return 'none', None
    year, month, day, hour, minute, second, fraction, zulu, sign, zone_hours, zone_minutes = match.groups()
    micro = int((fraction or b'').ljust(6, b'0')[:6])
    zone = None
    if zulu:
        zone = UTC
    elif sign:
        hours, minutes = int(zone_hours), int(zone_minutes or 0)
        if hours > 23 or minutes > 59:
            return 'none', None
        offset = datetime.timedelta(hours=hours, minutes=minutes)
        zone = datetime.timezone(-offset if sign == b'-' else offset)
    try:
        return 'value', datetime.datetime(int(year), int(month), int(day), int(hour or 0), int(minute or 0),
                                          int(second or 0), micro, tzinfo=zone)
    except ValueError:
        return 'none', None

def agrees(value, kind, want):
    if kind == 'either':
        return True
    if kind == 'none':
        return value is None
    if value is None or type(value) is not datetime.datetime:
        return False
    if kind == 'near':
        if value.utcoffset() != datetime.timedelta(0):
            return False
        seconds = decimal.Decimal((value - EPOCH) // datetime.timedelta(microseconds=1)) / 1000000
        return abs(seconds - want) <= decimal.Decimal('0.000002') + abs(want) * decimal.Decimal('2.3e-16')
    return value == want and value.utcoffset() == want.utcoffset()

def iso_text(value):
    """How a datetime reads in ISO 8601 text: "Z" for a zero offset."""
    text = value.isoformat()
    return text[:-6] + 'Z' if text.endswith(('+00:00', '-00:00')) else text
)";

PyObject* g_expected;
PyObject* g_agrees;
PyObject* g_iso_text;

nb::object call(PyObject* function, nb::handle a, nb::handle b = nb::handle(), nb::handle c = nb::handle()) {
    nb::object result = nb::steal(PyObject_CallFunctionObjArgs(function, a.ptr(), b.ptr(), c.ptr(), nullptr));
    FUZZ_CHECK_PY(result.is_valid());
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_python();
    PyObject* helpers = fuzz::load_helpers(kHelpers);
    g_expected = fuzz::helper(helpers, "expected");
    g_agrees = fuzz::helper(helpers, "agrees");
    g_iso_text = fuzz::helper(helpers, "iso_text");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace datetime = korvane::records::datetime;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const datetime::Reading reading = datetime::from_text(text);
    FUZZ_CHECK(reading.value.is_valid() != (reading.error != nullptr));

    nb::object want = call(g_expected, nb::bytes(data, size));
    nb::handle value = reading.value.is_valid() ? nb::handle(reading.value) : nb::none();
    nb::object agreed = call(g_agrees, value, PyTuple_GET_ITEM(want.ptr(), 0), PyTuple_GET_ITEM(want.ptr(), 1));
    FUZZ_CHECK(agreed.ptr() == Py_True);
    if (!reading.value.is_valid()) return 0;

    // Written out and read back: the same point in time with the same offset, the same text.
    FUZZ_CHECK(datetime::is_datetime(reading.value.ptr()));
    nb::object written = datetime::to_text(reading.value.ptr());
    FUZZ_CHECK(written.equal(call(g_iso_text, reading.value)));
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(written.ptr(), &length);
    FUZZ_CHECK_PY(utf8);
    const datetime::Reading again = datetime::from_text(std::string_view(utf8, static_cast<std::size_t>(length)));
    FUZZ_CHECK(again.value.is_valid());
    nb::object same = call(g_agrees, again.value, nb::str("value"), reading.value);
    FUZZ_CHECK(same.ptr() == Py_True);
    return 0;
}
