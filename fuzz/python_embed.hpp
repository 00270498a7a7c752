// The interpreter embedded in the fuzz targets that build or read Python objects.
#pragma once
#include <nanobind/nanobind.h>

#include "check.hpp"

namespace fuzz {

// Shows the pending Python exception (if any) and stops the run on a finding.
[[noreturn]] inline void found_python(const char* what, const char* file, int line) {
    if (PyErr_Occurred()) PyErr_Print();
    found(what, file, line);
}

// Starts the interpreter once for the whole run and returns a module set up the way nanobind
// sets up an extension module (kept for the whole run); the calling thread keeps the GIL.
// Its objects live on the C heap, so AddressSanitizer catches a use after the last reference
// went and LeakSanitizer an object whose last reference was never dropped. Python installs no
// signal handlers (libFuzzer needs SIGINT and SIGALRM) and reads nothing from the environment.
inline PyObject* start_python() {
    PyPreConfig pre;
    PyPreConfig_InitIsolatedConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus status = Py_PreInitialize(&pre);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    config.site_import = 0;
    status = PyConfig_SetBytesString(&config, &config.home, KORVANE_FUZZ_PYTHON_HOME);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyObject* module = PyModule_New("fuzz_native");
    if (!module || !nanobind::register_module(module)) found_python("nanobind set-up", __FILE__, __LINE__);
    return module;
}

// Runs a target's Python helper code (its input decoding and reference) in a namespace of its
// own and returns that namespace, kept for the whole run.
inline PyObject* load_helpers(const char* code) {
    PyObject* globals = PyDict_New();
    if (!globals || PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) {
        found_python("helper namespace", __FILE__, __LINE__);
    }
    PyObject* result = PyRun_String(code, Py_file_input, globals, globals);
    if (!result) found_python("helper code runs", __FILE__, __LINE__);
    Py_DECREF(result);
    return globals;
}

// A function of the helpers (borrowed: the namespace keeps it).
inline PyObject* helper(PyObject* helpers, const char* name) {
    PyObject* function = PyDict_GetItemString(helpers, name);
    if (!function) found_python(name, __FILE__, __LINE__);
    return function;
}

}  // namespace fuzz

#define FUZZ_CHECK_PY(condition) ((condition) ? (void)0 : ::fuzz::found_python(#condition, __FILE__, __LINE__))
