// Helpers to build plain Python classes whose methods are C++ functions.
#pragma once
#include <nanobind/nanobind.h>

#include "py/signed_method.hpp"

namespace korvane::py {

namespace nb = nanobind;

// A new Python class `name` (module `module`, documentation `doc`) deriving from `bases`.
// Instances are ordinary Python objects: they carry a __dict__, accept new attributes, take
// part in garbage collection and may be subclassed; behaviour comes from methods added with
// add_method().
inline nb::object make_class(const char* module, const char* name, const char* doc,
                             nb::tuple bases = nb::make_tuple()) {
    nb::dict ns;
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    nb::handle type_type = reinterpret_cast<PyObject*>(&PyType_Type);
    return type_type(name,
                     bases.size() ? bases : nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                     ns);
}

// Adds a method implemented by `fn` (whose first parameter receives `self`); inspect, help() and
// mock.create_autospec see its parameters (see signed_method.hpp).
template <typename Fn, typename... Extra>
void add_method(nb::handle cls, const char* name, Fn&& fn, const Extra&... extra) {
    nb::object f = nb::cpp_function(std::forward<Fn>(fn), nb::scope(cls), nb::name(name), nb::is_method(), extra...);
    nb::setattr(cls, name, signed_method(f));
}

}  // namespace korvane::py
