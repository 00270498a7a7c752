// The extension module's __getattr__ hook that makes rarely needed names on first use.
#include "util/lazy_names.hpp"
#include "py/raise.hpp"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace korvane::util {
namespace {

struct Entry {
    const char* name;
    MakeNames make;
};

// Filled while the module loads, read-only afterwards.
std::vector<Entry> g_entries;
std::vector<BindPart> g_deferred;
PyObject* g_module = nullptr;  // owned for the life of the process

// The deferred parts are bound once. Binding runs Python code (a collection may run finalizers),
// so another thread can get the GIL meanwhile: it waits for the binder to finish.
enum class State { Pending, Binding, Done };
State g_state = State::Pending;  // read and written with the GIL held
std::atomic<std::thread::id> g_binder{};

nb::handle module_value(nb::handle name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(g_module), name.ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return value;
}

bool is_dunder(const char* text) {
    const std::size_t size = std::strlen(text);
    return size > 4 && std::strncmp(text, "__", 2) == 0 && std::strcmp(text + size - 2, "__") == 0;
}

nb::object getattr_hook(nb::str name) {
    const char* text = name.c_str();
    bool declared = false;
    for (const Entry& entry : g_entries) {
        if (std::strcmp(entry.name, text) != 0) continue;
        entry.make();
        declared = true;
        break;
    }
    // The import system asks modules for names such as __path__: those never bind anything.
    if (!declared && !is_dunder(text)) LazyNames::bind_deferred();
    // Read from the module's own dictionary: asking the module again would come back here.
    if (nb::handle value = module_value(name); value.is_valid()) return nb::borrow(value);
    py::raise(PyExc_AttributeError, "module '%s' has no attribute '%U'", PyModule_GetName(g_module), name.ptr());
}

}  // namespace

void LazyNames::attach(nb::module_& m) {
    if (!g_module) g_module = nb::object(m).release().ptr();
}

void LazyNames::install_hook() {
    auto m = nb::borrow<nb::module_>(g_module);
    m.def("__getattr__", &getattr_hook, nb::arg("name"));
}

void LazyNames::add(const char* name, MakeNames make) { g_entries.push_back({name, make}); }

void LazyNames::defer(BindPart bind) { g_deferred.push_back(bind); }

void LazyNames::bind_deferred() {
    while (g_state == State::Binding) {
        // Called again by the binding thread itself (a finalizer run while binding): what is bound
        // so far is all it can have.
        if (g_binder.load() == std::this_thread::get_id()) return;
        nb::gil_scoped_release release;
        std::this_thread::yield();
    }
    if (g_state == State::Done || g_deferred.empty()) return;
    g_state = State::Binding;
    g_binder.store(std::this_thread::get_id());
    // Whatever happens, the parts are never bound twice: nanobind refuses a class bound again.
    struct Finish {
        ~Finish() {
            g_state = State::Done;
            g_binder.store(std::thread::id{});
        }
    } finish;
    auto m = nb::borrow<nb::module_>(g_module);
    for (BindPart bind : g_deferred) bind(m);
}

nb::handle LazyNames::module() { return g_module; }

}  // namespace korvane::util
