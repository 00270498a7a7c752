// Names of the extension module that are made when first used, not while the module loads.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::util {

namespace nb = nanobind;

// Makes a group of names and sets them on the module (see LazyNames::module()); runs with the GIL
// held, once per group unless two threads race, in which case the group must publish only one set.
using MakeNames = void (*)();
// Binds a part of the module whose names are not listed in advance.
using BindPart = void (*)(nb::module_&);

// The module's __getattr__: a name not yet set is looked up here and made on demand, so a program
// that never touches a part of the SDK never pays for building it.
class LazyNames {
public:
    // Remembers the module the names are set on.
    static void attach(nb::module_& m);
    // Gives the module its __getattr__ hook: last, once everything bound eagerly is in place
    // (binding a function looks its name up first, which would come to the hook).
    static void install_hook();
    // Declares `name` as made by `make`; `make` must set it on the module.
    static void add(const char* name, MakeNames make);
    // Declares a part bound when a name that is neither set nor declared is first asked for.
    static void defer(BindPart bind);
    // Binds the deferred parts now, if not done yet (for C++ code that needs them).
    static void bind_deferred();
    // The module the names are set on (valid once attach() has run).
    static nb::handle module();
};

}  // namespace korvane::util
