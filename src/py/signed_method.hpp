// Methods that report their signature to inspect, help() and mock.create_autospec.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::py {

namespace nb = nanobind;

// Wraps a nanobind method (an nb_func bound with nb::is_method()) in a method descriptor that
// calls it unchanged and adds `__text_signature__`, made from the function's nanobind signature
// (nb::sig where one is given) with annotations dropped and defaults written as literals. Other
// attributes (__name__, __qualname__, __module__, __doc__, __nb_signature__) are the function's.
nb::object signed_method(nb::handle nb_method);

// The text signature of a nanobind signature text such as
// "def f(self, a: int, b: object | None = \0, *, c=1) -> None": "(self, a, b=None, *, c=1)",
// each \N placeholder replaced by repr(defaults[N]). Exposed for the tests of the parser.
nb::str text_signature(nb::handle nb_signature_text, nb::handle defaults);

// Replaces the nanobind methods in the class's own namespace by their signed_method(): the public
// ones, __init__ and __enter__/__exit__.
void sign_methods(nb::handle cls);

}  // namespace korvane::py
