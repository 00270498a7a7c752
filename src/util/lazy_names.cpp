// The extension module's __getattr__ hook that makes rarely needed names on first use.
#include "util/lazy_names.hpp"

#include <cstring>
#include <vector>

namespace korvane::util {
namespace {

struct Entry {
    const char* name;
    MakeNames make;
};

std::vector<Entry> g_entries;  // filled while the module loads, read-only afterwards

PyObject* g_module = nullptr;  // owned for the life of the process

nb::object getattr_hook(nb::str name) {
    const char* text = name.c_str();
    for (const Entry& entry : g_entries) {
        if (std::strcmp(entry.name, text) != 0) continue;
        entry.make();
        // Read from the module's own dictionary: asking the module again would come back here.
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(g_module), name.ptr());
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        break;
    }
    PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", PyModule_GetName(g_module), name.ptr());
    throw nb::python_error();
}

}  // namespace

void LazyNames::attach(nb::module_& m) {
    if (g_module) return;
    g_module = nb::object(m).release().ptr();
    m.def("__getattr__", &getattr_hook, nb::arg("name"));
}

void LazyNames::add(const char* name, MakeNames make) { g_entries.push_back({name, make}); }

nb::handle LazyNames::module() { return g_module; }

}  // namespace korvane::util
