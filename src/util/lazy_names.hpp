// Names of the extension module that are made when first used, not while the module loads.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::util {

namespace nb = nanobind;

// Makes a group of names and sets them on the module (see LazyNames::module()); runs with the GIL
// held, once per group unless two threads race, in which case the group must publish only one set.
using MakeNames = void (*)();

// The module's __getattr__: a name not yet set is looked up here and its group made on demand.
// So a program that never touches a group never pays for building it.
class LazyNames {
public:
    // Remembers the module and gives it the __getattr__ hook (once per module).
    static void attach(nb::module_& m);
    // Declares `name` as made by `make`; `make` must set it on the module.
    static void add(const char* name, MakeNames make);
    // The module the names are set on (valid once attach() has run).
    static nb::handle module();
};

}  // namespace korvane::util
