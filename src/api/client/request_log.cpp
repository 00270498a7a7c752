// Logging of the request loop, through the standard logging module, costing next to nothing when off.
#include "api/client/request_log.hpp"

#include <cstdlib>
#include <cstring>

namespace korvane::api::request_log {
namespace {

PyObject* g_logger = nullptr;  // strong, kept for the process once logging is in use
bool g_environment_read = false;

// KORVANE_LOG=debug|info: the logger's level and a stderr handler, as other SDKs' *_LOG do.
void configure_from_environment() {
    g_environment_read = true;
    const char* wanted = std::getenv("KORVANE_LOG");
    if (!wanted) return;
    int level = std::strcmp(wanted, "debug") == 0 ? 10 : std::strcmp(wanted, "info") == 0 ? 20 : 0;
    if (!level) return;
    nb::module_ logging = nb::module_::import_("logging");
    nb::object logger = logging.attr("getLogger")("korvane_sdk");
    nb::object handler = logging.attr("StreamHandler")();  // stderr
    handler.attr("setFormatter")(logging.attr("Formatter")("%(asctime)s %(name)s %(levelname)s %(message)s"));
    logger.attr("addHandler")(handler);
    logger.attr("setLevel")(level);
}

}  // namespace

nb::handle enabled(int level) {
    if (!g_environment_read) configure_from_environment();
    if (!g_logger) {
        static PyObject* key = PyUnicode_InternFromString("logging");  // kept for the process
        if (!key) throw nb::python_error();
        PyObject* logging = PyDict_GetItemWithError(PyImport_GetModuleDict(), key);  // borrowed
        if (!logging) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::handle();  // logging never imported: nobody listens
        }
        nb::object logger = nb::borrow(logging).attr("getLogger")("korvane_sdk");
        // As libraries do: without a handler of the program's, the interpreter's last-resort
        // handler would print the warnings to stderr; records still propagate to the program's.
        logger.attr("addHandler")(nb::borrow(logging).attr("NullHandler")());
        g_logger = logger.release().ptr();
    }
    nb::object on = nb::handle(g_logger).attr("isEnabledFor")(level);
    int truth = PyObject_IsTrue(on.ptr());
    if (truth < 0) throw nb::python_error();
    return truth ? nb::handle(g_logger) : nb::handle();
}

void emit(nb::handle logger, int level, const char* format, nb::tuple args) {
    nb::list call_args;
    call_args.append(level);
    call_args.append(format);
    for (nb::handle arg : args) call_args.append(arg);
    PyObject* done = PyObject_CallObject(logger.attr("log").ptr(), nb::tuple(call_args).ptr());
    if (!done) throw nb::python_error();
    Py_DECREF(done);
}

}  // namespace korvane::api::request_log
