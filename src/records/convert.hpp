// Validation: checks and converts input values to field types, collecting every problem.
#pragma once
#include <nanobind/nanobind.h>

#include <array>

#include "records/instance.hpp"
#include "records/schema.hpp"

namespace korvane::records {

namespace nb = nanobind;

// True when every field of `schema` is present in `values` (fresh from JSON) and already is what
// conversion would make of it: a record can take them as they are, with no validator at all.
bool all_fit_as_is(const Schema& schema, PyObject* const* values);

// Walks one input; each problem is recorded with its location and validation goes on, so that
// one ValidationError lists them all. Python errors (MemoryError, ...) propagate as
// nb::python_error. Nesting is bounded by the schemas, so no recursion guard is needed here.
class Validator {
public:
    // With `adopt_inputs`, lists and dicts in the input belong to the validator alone (freshly
    // read from JSON): a list is converted in place and a dict that needs no conversion is kept,
    // instead of copying either.
    explicit Validator(bool adopt_inputs = false) : adopt_(adopt_inputs) {}

    // Converts the members of `mapping` (a dict) for the fields of `schema` into `out` (one
    // value per field, in order). Returns false when a problem was recorded.
    bool fields(const Schema& schema, PyObject* mapping, FieldValues& out);

    // As fields(), from member values already gathered per field (`present[i]` borrowed, nullptr
    // when absent); an absent field takes `absent[i]` when given (an empty list there stands for
    // a new empty list), else its default. Stops at the first problem, recording none for a
    // missing field: for callers that then take the general path.
    bool members(const Schema& schema, PyObject* const* present, PyObject* const* absent, FieldValues& out);

    bool failed() const { return issues_.is_valid(); }
    nb::handle issues() const { return issues_; }

private:
    // Each returns the converted value, or an empty object after recording a problem.
    nb::object value(const Type& type, PyObject* input);
    nb::object text(PyObject* input);
    nb::object integer(PyObject* input);
    nb::object integer_of_float(double number, PyObject* input);
    nb::object real(PyObject* input);
    nb::object truth(PyObject* input);
    nb::object date_time(PyObject* input);
    nb::object list(const Type& type, PyObject* input);
    nb::object list_in_place(const Type& item_type, PyObject* input);
    nb::object mapping(const Type& type, PyObject* input);
    nb::object record(const Schema& schema, PyObject* input);
    bool within_bounds(const Field& field, PyObject* value, PyObject* input);
    // The converted (and bounds-checked) value of `field` from `input`, or empty after a problem.
    nb::object field_value(const Field& field, PyObject* input);
    // A field's default: false for a required one.
    static bool default_value(const Field& field, nb::object& out);

    void issue(const char* type, nb::handle msg, PyObject* input, nb::handle ctx = {});
    void issue(const char* type, const char* msg, PyObject* input) { issue(type, nb::str(msg), input); }
    std::size_t issue_count() const;

    // Where validation stands: field names (borrowed) and list indices.
    struct Step {
        PyObject* key;
        Py_ssize_t index;
    };
    void enter(PyObject* key, Py_ssize_t index = 0);
    void leave() { --depth_; }

    std::array<Step, 16> path_;  // entries below depth_ only
    std::size_t depth_ = 0;
    nb::object issues_;  // a list, made at the first problem
    bool adopt_ = false;
};

// Validates `mapping` (a dict) for `schema` and installs the values in `self`. Raises
// ValidationError titled with the name of `cls` listing every problem; `self` is untouched then.
void validate_into(PyObject* self, const Schema& schema, PyObject* mapping, PyTypeObject* cls);

}  // namespace korvane::records
