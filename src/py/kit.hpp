// The Python/C helper kit, the entry header of py/: what every part of the core needs at the boundary
// with the interpreter, written once.
//
//   checks.hpp   checked(PyObject*) for new references from C API calls; truthy(value)
//   raise.hpp    raise(type, format, ...), raise_type_error, raise_value_error: set the error and throw
//                nb::python_error(), for the binding boundary to restore
//
// MAKING A PYTHON TYPE. There are four ways in the core; each is right for one kind of type:
//   - util::make_class + util::add_method (util/pytype.hpp): a plain Python class (instances with a
//     __dict__, new attributes allowed, subclassable) whose methods are C++ functions. For the client
//     and its namespaces, whose seams users replace on instances and subclasses. The default choice.
//   - nb::class_<T>: a C++ object held by Python (http::Session, http::Response). For a type whose state
//     is C++ (a transfer, a buffer) and whose attributes are its methods only.
//   - PyType_FromSpec (a static PyType_Spec with slots): a type that must implement a slot protocol at C
//     speed and control its own GC and finalization (the chat stream generator, the page iterator,
//     the records' base and descriptors, the signed method descriptor). Made once on first use and kept
//     for the process; instances hold a reference to it.
//   - PyErr_NewExceptionWithDoc: exception classes (errors/, http/errors.cpp, the records'
//     ValidationError), so they are true subclasses of the built-in exceptions.
#pragma once

#include "py/checks.hpp"
#include "py/raise.hpp"
