// Lax conversions of input values to field types, with problems collected per location.
#include "records/convert.hpp"

#include <cmath>
#include <string>
#include <string_view>

#include "py/checks.hpp"
#include "py/raise.hpp"
#include "records/datetime.hpp"
#include "records/instance.hpp"
#include "records/validation_error.hpp"
#include "util/imported_class.hpp"

namespace korvane::records {
namespace {

constexpr Py_ssize_t kMaxIntegerDigits = 4300;  // the interpreter's own limit for int(text)

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view strip(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

// UTF-8 of a str; false for text that cannot be encoded (lone surrogates).
bool utf8_of(PyObject* text, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool equals_ignore_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (x != b[i]) return false;
    }
    return true;
}

// The usual spellings of truth values; -1 when the text is none of them.
int text_truth(std::string_view s) {
    if (s == "0") return 0;
    if (s == "1") return 1;
    for (const char* word : {"f", "n", "no", "off", "false"}) {
        if (equals_ignore_case(s, word)) return 0;
    }
    for (const char* word : {"t", "y", "on", "yes", "true"}) {
        if (equals_ignore_case(s, word)) return 1;
    }
    return -1;
}

using py::checked;

// An int subclass (bool, IntEnum, ...) as a plain int, without calling any override.
nb::object plain_int(PyObject* value) { return checked(PyLong_Type.tp_as_number->nb_int(value)); }

// The bytes of a bytes object (not a bytearray: pydantic reads only bytes as text in numeric,
// truth and date-time fields).
std::string_view bytes_view(PyObject* bytes) {
    return std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

// The text of a str (its UTF-8, or "?" when it has none: no number or truth value) or of a bytes
// object, both read as text by numeric and truth fields; false for anything else.
bool text_of(PyObject* input, std::string_view& out) {
    if (PyUnicode_Check(input)) {
        if (!utf8_of(input, out)) out = "?";
        return true;
    }
    if (!PyBytes_Check(input)) return false;
    out = bytes_view(input);
    return true;
}

// decimal.Decimal (or a subclass).
bool is_decimal(PyObject* value) {
    static util::ImportedClass decimal("decimal", "Decimal");
    if (PyLong_Check(value) || PyFloat_Check(value) || PyUnicode_Check(value)) return false;
    return decimal.has_instance(value);
}

bool is_enum_member(PyObject* value) {
    static util::ImportedClass enum_class("enum", "Enum");
    return enum_class.has_instance(value);
}

// Other numbers, as pydantic takes them: through __index__ as integers, else through __float__
// (Fraction, numpy scalars, ...). Empty when `value` has neither.
nb::object other_number(PyObject* value) {
    if (PyIndex_Check(value)) return checked(PyNumber_Index(value));
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number && number->nb_float) return checked(PyNumber_Float(value));
    return {};
}

// A Decimal's exact integer value when it is finite and whole; empty otherwise (`finite` tells
// which).
nb::object whole_decimal(PyObject* decimal, bool& finite) {
    nb::object check = checked(PyObject_CallMethod(decimal, "is_finite", nullptr));
    finite = check.ptr() == Py_True;
    if (!finite) return {};
    nb::object truncated = checked(PyNumber_Long(decimal));
    const int equal = PyObject_RichCompareBool(truncated.ptr(), decimal, Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal ? truncated : nb::object();
}

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr const char* kNotUnicode = "Input should be a valid string, unable to parse raw data as a unicode string";

// An integer's text: blanks around it, an optional sign, digits with single underscores between
// them, and optionally "." followed by zeros only ("3.0" is 3, "3." is not). Empty when the text
// is not one.
nb::object integer_from_text(std::string_view s) {
    s = strip(s);
    std::string digits;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') digits += '-';
        ++i;
    }
    bool digit_before = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            digits += c;
            digit_before = true;
        } else if (c == '_' && digit_before && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '9') {
            digit_before = false;
        } else {
            break;
        }
    }
    if (!digit_before) return {};
    if (i < s.size()) {
        if (s[i] != '.' || i + 1 == s.size()) return {};
        for (++i; i < s.size(); ++i) {
            if (s[i] != '0') return {};
        }
    }
    return checked(PyLong_FromString(digits.c_str(), nullptr, 10));
}

// A number's text as float() reads it (underscores between digits, "inf", "nan"), ASCII only.
// Empty when the text is not one.
nb::object real_from_text(std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return {};
    }
    nb::object text = checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    PyObject* number = PyFloat_FromString(text.ptr());
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
        return {};
    }
    return nb::steal(number);
}

// Truth of a whole number: 0 or 1, -1 for another value within 64 bits, -2 beyond.
int whole_truth(PyObject* integer) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return -2;
    return number == 0 || number == 1 ? static_cast<int>(number) : -1;
}

nb::dict context(const char* key, nb::handle value) {
    nb::dict ctx;
    ctx[key] = value;
    return ctx;
}

// True when `value`, read fresh from JSON, already is exactly what conversion to `type` would give
// (the same object, or for containers an equal one made of the same objects), so it can be kept
// as it is. Anything else goes through the conversions.
bool fits_as_is(const Type& type, PyObject* value);

// Most values are of their type's own class: one compare, where the switch below would be an
// indirect jump that a record's fields of alternating kinds keep mispredicting.
inline bool fits_as_is_quickly(const Type& type, PyObject* value) {
    return Py_TYPE(value) == type.as_is || fits_as_is(type, value);
}

bool fits_as_is(const Type& type, PyObject* value) {
    if (value == Py_None) return type.optional;
    switch (type.kind) {
        case Kind::Str: return PyUnicode_CheckExact(value);
        case Kind::Int: return PyLong_CheckExact(value);
        case Kind::Float: return PyFloat_CheckExact(value);
        case Kind::Bool: return PyBool_Check(value);
        case Kind::Any: return true;
        case Kind::DateTime: return false;
        case Kind::Record: return Py_TYPE(value) == type.record->cls;
        case Kind::List:
            if (!PyList_CheckExact(value)) return false;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                if (!fits_as_is_quickly(*type.item, PyList_GET_ITEM(value, i))) return false;
            }
            return true;
        case Kind::Dict: {
            if (!PyDict_CheckExact(value)) return false;  // its keys, read from JSON, are plain str
            if (type.item->kind == Kind::Any) return true;
            PyObject *key, *item;
            Py_ssize_t pos = 0;
            while (PyDict_Next(value, &pos, &key, &item)) {
                if (!fits_as_is_quickly(*type.item, item)) return false;
            }
            return true;
        }
    }
    return false;
}

// Whether a field keeps `value`, fresh from JSON, as it is: no bounds to check and nothing to convert.
inline bool kept_as_is(const Field& field, PyObject* value) {
    return !field.bounded && fits_as_is_quickly(*field.type, value);
}

}  // namespace

bool all_fit_as_is(const Schema& schema, PyObject* const* values) {
    const std::size_t count = schema.fields.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (!values[i] || !kept_as_is(schema.fields[i], values[i])) return false;
    }
    return true;
}

void Validator::enter(PyObject* key, Py_ssize_t index) {
    if (depth_ == path_.size()) {
        py::raise_text(PyExc_RecursionError, "record input nested too deeply");
    }
    path_[depth_++] = Step{key, index};
}

std::size_t Validator::issue_count() const { return issues_.is_valid() ? PyList_GET_SIZE(issues_.ptr()) : 0; }

void Validator::issue(const char* type, nb::handle msg, PyObject* input, nb::handle ctx) {
    nb::object loc = checked(PyTuple_New(static_cast<Py_ssize_t>(depth_)));
    for (std::size_t i = 0; i < depth_; ++i) {
        const Step& step = path_[i];
        PyObject* part = step.key ? Py_NewRef(step.key) : PyLong_FromSsize_t(step.index);
        if (!part) throw nb::python_error();
        PyTuple_SET_ITEM(loc.ptr(), static_cast<Py_ssize_t>(i), part);
    }
    if (!issues_.is_valid()) issues_ = checked(PyList_New(0));
    nb::dict entry = make_issue(type, loc, msg, input, ctx);
    if (PyList_Append(issues_.ptr(), entry.ptr()) < 0) throw nb::python_error();
}

nb::object Validator::field_value(const Field& field, PyObject* input) {
    enter(field.name);
    nb::object converted = value(*field.type, input);
    if (field.bounded && converted.is_valid() && !within_bounds(field, converted.ptr(), input)) {
        converted = nb::object();
    }
    leave();
    return converted;
}

bool Validator::default_value(const Field& field, nb::object& out) {
    switch (field.default_kind) {
        case DefaultKind::Required: return false;
        case DefaultKind::None: out = nb::none(); break;
        case DefaultKind::Constant: out = nb::borrow(field.default_value); break;
        case DefaultKind::EmptyList: out = checked(PyList_New(0)); break;
        case DefaultKind::EmptyDict: out = checked(PyDict_New()); break;
    }
    return true;
}

bool Validator::fields(const Schema& schema, PyObject* mapping, FieldValues& out) {
    const std::size_t before = issue_count();
    const std::size_t count = schema.fields.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Field& field = schema.fields[i];
        PyObject* found = PyDict_GetItemWithError(mapping, field.name);
        if (found) {
            nb::object input = nb::borrow(found);  // the mapping may change under user code
            out.set(i, field_value(field, found));
            continue;
        }
        if (PyErr_Occurred()) throw nb::python_error();
        nb::object fallback;
        if (default_value(field, fallback)) {
            out.set(i, std::move(fallback));
        } else {
            enter(field.name);
            issue("missing", "Field required", mapping);
            leave();
        }
    }
    return issue_count() == before;
}

bool Validator::members(const Schema& schema, PyObject* const* present, PyObject* const* absent, FieldValues& out) {
    const std::size_t count = schema.fields.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Field& field = schema.fields[i];
        nb::object converted;
        if (present[i]) {
            const bool as_is = adopt_ && kept_as_is(field, present[i]);
            converted = as_is ? nb::borrow(present[i]) : field_value(field, present[i]);
        } else if (absent && absent[i]) {
            const bool fresh_list = PyList_CheckExact(absent[i]) && PyList_GET_SIZE(absent[i]) == 0;
            converted = fresh_list ? checked(PyList_New(0)) : nb::borrow(absent[i]);
        } else if (!default_value(field, converted)) {
            return false;
        }
        if (!converted.is_valid()) return false;
        out.set(i, std::move(converted));
    }
    return true;
}

nb::object Validator::value(const Type& type, PyObject* input) {
    if (input == Py_None && type.optional) return nb::none();
    switch (type.kind) {
        case Kind::Str: return text(input);
        case Kind::Int: return integer(input);
        case Kind::Float: return real(input);
        case Kind::Bool: return truth(input);
        case Kind::DateTime: return date_time(input);
        case Kind::Any: return nb::borrow(input);
        case Kind::List: return list(type, input);
        case Kind::Dict: return mapping(type, input);
        case Kind::Record: return record(*type.record, input);
    }
    return nb::borrow(input);
}

nb::object Validator::text(PyObject* input) {
    if (PyUnicode_CheckExact(input)) return nb::borrow(input);
    if (PyUnicode_Check(input)) return checked(PyUnicode_FromObject(input));  // plain str copy
    if (is_enum_member(input)) {
        // A member is its value's text: an int or float value too, as pydantic takes it.
        nb::object value = checked(PyObject_GetAttrString(input, "value"));
        if (PyUnicode_Check(value.ptr()) || PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
            return PyUnicode_Check(value.ptr()) ? text(value.ptr()) : checked(PyObject_Str(value.ptr()));
        }
    }
    if (PyBytes_Check(input) || PyByteArray_Check(input)) {
        const char* data = PyBytes_Check(input) ? PyBytes_AS_STRING(input) : PyByteArray_AS_STRING(input);
        const Py_ssize_t size = PyBytes_Check(input) ? PyBytes_GET_SIZE(input) : PyByteArray_GET_SIZE(input);
        PyObject* decoded = PyUnicode_DecodeUTF8(data, size, nullptr);
        if (decoded) return nb::steal(decoded);
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
        PyErr_Clear();
        issue("string_unicode", kNotUnicode, input);
        return {};
    }
    issue("string_type", "Input should be a valid string", input);
    return {};
}

nb::object Validator::integer_of_float(double number, PyObject* input) {
    if (!std::isfinite(number)) {
        issue("finite_number", "Input should be a finite number", input);
        return {};
    }
    if (number != std::floor(number)) {
        issue("int_from_float", "Input should be a valid integer, got a number with a fractional part", input);
        return {};
    }
    if (std::fabs(number) >= kTwoTo63) {  // beyond 64 bits, as pydantic reads floats
        issue("int_parsing_size", "Unable to parse input string as an integer, exceeded maximum size", input);
        return {};
    }
    return checked(PyLong_FromDouble(number));
}

nb::object Validator::integer(PyObject* input) {
    if (PyLong_CheckExact(input)) return nb::borrow(input);
    if (PyLong_Check(input)) return plain_int(input);  // bool and int subclasses
    if (PyFloat_Check(input)) return integer_of_float(PyFloat_AS_DOUBLE(input), input);
    std::string_view s;
    if (!text_of(input, s)) {
        if (is_decimal(input)) {
            bool finite = false;
            nb::object whole = whole_decimal(input, finite);
            if (whole.is_valid()) return whole;
            if (finite) {
                issue("int_from_float", "Input should be a valid integer, got a number with a fractional part", input);
            } else {
                issue("finite_number", "Input should be a finite number", input);
            }
            return {};
        }
        if (is_enum_member(input)) {
            // An enum member (not an int itself) with an int value is that int. (pydantic hands
            // any member's value through unchecked, text and floats too: those are refused here.)
            nb::object value = checked(PyObject_GetAttrString(input, "value"));
            if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) return integer(value.ptr());
        } else if (nb::object number = other_number(input); number.is_valid()) {
            if (PyLong_CheckExact(number.ptr())) return number;
            return integer_of_float(PyFloat_AS_DOUBLE(number.ptr()), input);
        }
        issue("int_type", "Input should be a valid integer", input);
        return {};
    }
    if (static_cast<Py_ssize_t>(strip(s).size()) > kMaxIntegerDigits) {
        issue("int_parsing_size", "Unable to parse input string as an integer, exceeded maximum size", input);
        return {};
    }
    nb::object number = integer_from_text(s);
    if (!number.is_valid()) {
        issue("int_parsing", "Input should be a valid integer, unable to parse string as an integer", input);
    }
    return number;
}

nb::object Validator::real(PyObject* input) {
    if (PyFloat_CheckExact(input)) return nb::borrow(input);
    if (PyFloat_Check(input)) return checked(PyFloat_FromDouble(PyFloat_AS_DOUBLE(input)));
    if (PyLong_Check(input)) {
        const double number = PyLong_AsDouble(input);
        if (number == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
            PyErr_Clear();
            issue("float_type", "Input should be a valid number", input);
            return {};
        }
        return checked(PyFloat_FromDouble(number));
    }
    std::string_view s;
    if (!text_of(input, s)) {
        if (is_decimal(input)) return checked(PyNumber_Float(input));  // NaN, inf, 1e400 (to inf)
        if (nb::object number = other_number(input); number.is_valid()) {
            return PyFloat_CheckExact(number.ptr()) ? number : real(number.ptr());
        }
        issue("float_type", "Input should be a valid number", input);
        return {};
    }
    nb::object number = real_from_text(s);
    if (!number.is_valid()) {
        issue("float_parsing", "Input should be a valid number, unable to parse string as a number", input);
    }
    return number;
}

nb::object Validator::truth(PyObject* input) {
    if (PyBool_Check(input)) return nb::borrow(input);
    // -1: a value of the right kind that is not a truth value; -2: not even that kind.
    int result = -2;
    if (PyLong_Check(input)) {
        result = whole_truth(input);
    } else if (PyFloat_Check(input)) {
        const double number = PyFloat_AS_DOUBLE(input);
        if (number == 0.0 || number == 1.0)
            result = number == 1.0;
        else if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < kTwoTo63)
            result = -1;
    } else if (std::string_view s; text_of(input, s)) {
        result = text_truth(s);
    } else if (is_decimal(input)) {
        bool finite = false;
        nb::object whole = whole_decimal(input, finite);
        if (whole.is_valid()) result = whole_truth(whole.ptr());
    } else if (nb::object number = other_number(input); number.is_valid()) {
        return truth(number.ptr());
    }
    if (result == -2) {
        issue("bool_type", "Input should be a valid boolean", input);
        return {};
    }
    if (result < 0) {
        issue("bool_parsing", "Input should be a valid boolean, unable to interpret input", input);
        return {};
    }
    return nb::bool_(result == 1);
}

nb::object Validator::date_time(PyObject* input) {
    datetime::Reading reading;
    // Text is read as a date-time or else as a date (at midnight): its problems are reported so.
    bool text = false;
    if (PyUnicode_Check(input)) {
        text = true;
        std::string_view s;
        if (utf8_of(input, s)) {
            reading = datetime::from_text(s);
        } else {
            reading.error = "input is not valid UTF-8 text";
        }
    } else if (PyBytes_Check(input)) {
        text = true;
        reading = datetime::from_text(bytes_view(input));
    } else if (PyLong_Check(input) && !PyBool_Check(input)) {  // a bool is no timestamp: refused below
        int overflow = 0;
        const long long timestamp = PyLong_AsLongLongAndOverflow(input, &overflow);
        if (timestamp == -1 && PyErr_Occurred()) throw nb::python_error();
        const char* beyond = overflow > 0 ? "dates after 9999 are not supported as unix timestamps"
                                          : "dates before 0000 are not supported as unix timestamps";
        reading = overflow ? datetime::Reading{{}, beyond} : datetime::from_unix(timestamp);
    } else if (PyFloat_Check(input)) {
        reading = datetime::from_unix(PyFloat_AS_DOUBLE(input));
    } else if (datetime::is_datetime(input)) {
        return nb::borrow(input);
    } else if (datetime::is_date(input)) {
        reading = datetime::from_date(input);
    } else if (is_decimal(input)) {
        nb::object number = checked(PyNumber_Float(input));
        reading = datetime::from_unix(PyFloat_AS_DOUBLE(number.ptr()));
    } else {
        issue("datetime_type", "Input should be a valid datetime", input);
        return {};
    }
    if (reading.error) {
        nb::str reason(reading.error);
        if (text && !reading.out_of_range) {
            std::string_view s;
            if (PyBytes_Check(input))
                s = bytes_view(input);
            else if (!utf8_of(input, s))
                s = {};
            reason = nb::str(datetime::date_reason(s, reading.error));
            issue("datetime_from_date_parsing", nb::str("Input should be a valid datetime or date, {}").format(reason),
                  input, context("error", reason));
        } else {
            issue("datetime_parsing", nb::str("Input should be a valid datetime, {}").format(reason), input,
                  context("error", reason));
        }
        return {};
    }
    return std::move(reading.value);
}

nb::object Validator::list(const Type& type, PyObject* input) {
    const Type& item_type = *type.item;
    if (adopt_ && PyList_CheckExact(input)) return list_in_place(item_type, input);
    if (PyList_Check(input) || PyTuple_Check(input)) {
        // A snapshot of the length: converting a mapping element may run code that changes a list.
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(input);
        nb::object out = checked(PyList_New(count));
        bool ok = true;
        Py_ssize_t i = 0;
        for (; i < count && i < PySequence_Fast_GET_SIZE(input); ++i) {
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(input, i));
            enter(nullptr, i);
            nb::object converted = value(item_type, item.ptr());
            leave();
            if (converted.is_valid()) {
                PyList_SET_ITEM(out.ptr(), i, converted.release().ptr());
            } else {
                ok = false;
            }
        }
        if (!ok) return {};
        if (i < count && PyList_SetSlice(out.ptr(), i, count, nullptr) < 0) throw nb::python_error();
        return out;
    }
    // Any other iterable but text, bytes and mappings: sets, deques, dict views, generators, ...
    const bool iterable = !PyUnicode_Check(input) && !PyBytes_Check(input) && !PyByteArray_Check(input) &&
                          !is_mapping(input) && (Py_TYPE(input)->tp_iter || PySequence_Check(input));
    nb::object iterator;
    if (iterable) iterator = checked(PyObject_GetIter(input));
    if (iterator.is_valid()) {
        nb::object out = checked(PyList_New(0));
        bool ok = true;
        Py_ssize_t index = 0;
        while (PyObject* item = PyIter_Next(iterator.ptr())) {
            nb::object owned = nb::steal(item);
            enter(nullptr, index++);
            nb::object converted = value(item_type, item);
            leave();
            if (!converted.is_valid()) {
                ok = false;
            } else if (ok && PyList_Append(out.ptr(), converted.ptr()) < 0) {
                throw nb::python_error();
            }
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return ok ? out : nb::object();
    }
    issue("list_type", "Input should be a valid list", input);
    return {};
}

nb::object Validator::list_in_place(const Type& item_type, PyObject* input) {
    bool ok = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(input); ++i) {
        PyObject* item = PyList_GET_ITEM(input, i);
        enter(nullptr, i);
        nb::object converted = value(item_type, item);
        leave();
        if (!converted.is_valid()) {
            ok = false;
        } else if (converted.ptr() != item) {
            PyList_SetItem(input, i, converted.release().ptr());  // steals; drops the old item
        }
    }
    return ok ? nb::borrow(input) : nb::object();
}

nb::object Validator::mapping(const Type& type, PyObject* input) {
    nb::object source = PyDict_Check(input) ? nb::borrow(input) : as_dict(input);
    if (!source.is_valid()) {
        issue("dict_type", "Input should be a valid dictionary", input);
        return {};
    }
    const Type& value_type = *type.item;
    PyObject *key, *item;
    Py_ssize_t pos = 0;
    if (value_type.kind == Kind::Any) {
        if (adopt_ && PyDict_CheckExact(input)) return source;  // read from JSON: keys are plain str
        bool plain_keys = true;
        while (plain_keys && PyDict_Next(source.ptr(), &pos, &key, &item)) plain_keys = PyUnicode_CheckExact(key);
        if (plain_keys) return checked(PyDict_Copy(source.ptr()));
        pos = 0;
    }
    nb::object out = checked(PyDict_New());
    bool ok = true;
    while (PyDict_Next(source.ptr(), &pos, &key, &item)) {
        nb::object owned_key = nb::borrow(key), owned_item = nb::borrow(item);
        nb::object plain_key;
        if (PyUnicode_CheckExact(key)) {
            plain_key = owned_key;
        } else if (PyUnicode_Check(key)) {
            plain_key = checked(PyUnicode_FromObject(key));
        } else {
            // bytes keys are read as UTF-8 text; the problem of any other key is located by the key
            // itself when it is an int, else by its repr()
            const bool bytes = PyBytes_Check(key);
            if (bytes) {
                plain_key = nb::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), nullptr));
                if (!plain_key.is_valid()) {
                    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
                    PyErr_Clear();
                }
            }
            if (!plain_key.is_valid()) {
                nb::object where = PyLong_CheckExact(key) ? owned_key : checked(PyObject_Repr(key));
                nb::str marker("[key]");
                enter(where.ptr());
                enter(marker.ptr());
                if (bytes) {
                    issue("string_unicode", kNotUnicode, key);
                } else {
                    issue("string_type", "Input should be a valid string", key);
                }
                leave();
                leave();
                ok = false;
            }
        }
        enter(key);
        nb::object converted = value(value_type, item);
        leave();
        if (!converted.is_valid()) ok = false;
        if (ok && PyDict_SetItem(out.ptr(), plain_key.ptr(), converted.ptr()) < 0) throw nb::python_error();
    }
    return ok ? out : nb::object();
}

nb::object Validator::record(const Schema& schema, PyObject* input) {
    if (PyObject_TypeCheck(input, schema.cls)) return nb::borrow(input);
    nb::object members = PyDict_Check(input) ? nb::borrow(input) : as_dict(input);
    if (!members.is_valid()) {
        nb::str name(schema.name);
        issue("model_type", nb::str("Input should be a valid dictionary or instance of {}").format(name), input,
              context("class_name", name));
        return {};
    }
    FieldValues values(schema.fields.size());
    if (!fields(schema, members.ptr(), values)) return {};
    nb::object made = new_instance(schema.cls);
    store(made.ptr(), schema, values.data());
    return made;
}

bool Validator::within_bounds(const Field& field, PyObject* value, PyObject* input) {
    const Bounds& b = field.bounds;
    if (value == Py_None) return true;
    if ((b.ge || b.le) && PyLong_Check(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) throw nb::python_error();
        if (b.ge && (overflow < 0 || (!overflow && number < *b.ge))) {
            nb::int_ limit(*b.ge);
            issue("greater_than_equal", nb::str("Input should be greater than or equal to {}").format(limit), input,
                  context("ge", limit));
            return false;
        }
        if (b.le && (overflow > 0 || (!overflow && number > *b.le))) {
            nb::int_ limit(*b.le);
            issue("less_than_equal", nb::str("Input should be less than or equal to {}").format(limit), input,
                  context("le", limit));
            return false;
        }
    }
    if ((b.min_length || b.max_length) && PyUnicode_Check(value)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        if (b.min_length && length < *b.min_length) {
            nb::int_ limit(*b.min_length);
            issue("string_too_short",
                  nb::str("String should have at least {} character{}").format(limit, *b.min_length == 1 ? "" : "s"),
                  input, context("min_length", limit));
            return false;
        }
        if (b.max_length && length > *b.max_length) {
            nb::int_ limit(*b.max_length);
            issue("string_too_long",
                  nb::str("String should have at most {} character{}").format(limit, *b.max_length == 1 ? "" : "s"),
                  input, context("max_length", limit));
            return false;
        }
    }
    return true;
}

void validate_into(PyObject* self, const Schema& schema, PyObject* mapping, PyTypeObject* cls) {
    Validator validator;
    FieldValues values(schema.fields.size());
    if (!validator.fields(schema, mapping, values)) raise_validation_error(class_name(cls), validator.issues());
    store(self, schema, values.data());
}

}  // namespace korvane::records
