// The Python/C helper kit, the entry header of py/: what every part of the core needs at its boundary
// with the interpreter, written once. Include the piece you use, or this header for all of them.
//
//   checks.hpp     checked(PyObject*) owns a new reference from a C API call (nullptr throws the set
//                  error); truthy(value) with a failing __bool__ thrown
//   raise.hpp      raise(type, format, ...), raise_text(type, message), raise_type_error,
//                  raise_value_error: set the Python error and throw nb::python_error() in one call
//   guard.hpp      guarded(failure, fn): runs C++ behind a C slot; every exception becomes a set error
//   arguments.hpp  Python-style argument binding with the interpreter's wording: Arguments for
//                  *args/**kwargs functions, bind_arguments() for fast-call slots
//   text.hpp       text_bytes(value): the UTF-8 bytes of a str, the bytes of bytes, else of str(value)
//   gil.hpp        lock_releasing_gil(mutex): take a mutex without holding the GIL while blocked
//   types.hpp      make_class() and add_method(): plain Python classes with C++ methods, each method
//                  a signed_method.hpp descriptor so inspect and mocks see its parameters
//   spec_type.hpp  StrongMembers (GC slots of a struct of strong references) and kept_type<spec>()
//
// MAKING A PYTHON TYPE. There are four ways in the core; each is right for one kind of type:
//   - make_class + add_method (types.hpp): a plain Python class (instances with a __dict__, new
//     attributes allowed, subclassable) whose methods are C++ functions. For the client, its
//     namespaces and FieldInfo, whose methods users replace on instances, subclasses and with mocks.
//     The default choice.
//   - nb::class_<T>: a C++ object owned by its Python object (http::Session, http::Response). For a
//     type whose state is C++ (a transfer, a buffer) and whose surface is its methods and properties.
//   - PyType_FromSpec with a static PyType_Spec (spec_type.hpp): a type that implements slot protocols
//     at C speed and controls its own garbage collection and finalization (the chat stream generator,
//     the page iterator, the signed method descriptor, the records' base class and descriptors). Made
//     once (kept_type) and kept for the process; each instance holds a reference to it.
//   - PyErr_NewExceptionWithDoc: exception classes (errors/, http/errors.cpp, the records'
//     ValidationError), so they are true subclasses of the built-in exceptions and pickle as such.
#pragma once

#include "py/arguments.hpp"
#include "py/checks.hpp"
#include "py/gil.hpp"
#include "py/guard.hpp"
#include "py/raise.hpp"
#include "py/signed_method.hpp"
#include "py/spec_type.hpp"
#include "py/text.hpp"
#include "py/types.hpp"
