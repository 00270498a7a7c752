// Logging of the request loop, through the standard logging module, costing next to nothing when off.
#include "api/client/request_log.hpp"

#include <cctype>
#include <cstdlib>
#include <string>

#include "py/checks.hpp"

namespace korvane::api::request_log {
namespace {

PyObject* g_logger = nullptr;  // strong, kept for the process once logging is in use
bool g_environment_read = false;

// The name of the stderr handler KORVANE_LOG adds, to tell it from the application's own handlers.
constexpr const char* kOwnHandler = "korvane_sdk.stderr";

// KORVANE_LOG's level, read in any case and without surrounding blanks; 0 when the value names none.
int level_named(const char* value) {
    std::string name;
    for (const char* c = value; *c; ++c) {
        if (!std::isspace(static_cast<unsigned char>(*c)))
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    if (name == "debug") return 10;
    if (name == "info") return 20;
    if (name == "warning" || name == "warn") return 30;
    if (name == "error") return 40;
    return 0;
}

// Whether the application has handlers of its own that a record of `logger` reaches: one on the
// logger besides ours (a NullHandler prints nothing), or, while records propagate, one on the root
// logger (logging.basicConfig adds one there). Asked per record, so configuring logging after the
// first request counts too.
bool application_prints(nb::handle logging, nb::handle logger) {
    nb::object null_handler = logging.attr("NullHandler");
    for (nb::handle handler : nb::list(logger.attr("handlers"))) {
        int is_null = PyObject_IsInstance(handler.ptr(), null_handler.ptr());
        if (is_null < 0) throw nb::python_error();
        if (is_null) continue;
        nb::object name = nb::getattr(handler, "name", nb::none());
        if (!(PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), kOwnHandler) == 0)) {
            return true;
        }
    }
    return py::truthy(logger.attr("propagate")) && py::truthy(logging.attr("root").attr("handlers"));
}

// KORVANE_LOG=debug|info|warning|error: the logger's level and, unless the application has configured
// logging already, a stderr handler that prints only while it still has not (else the application's
// handlers print each record, once). Another value is ignored with one warning: it is read once.
void configure_from_environment() {
    g_environment_read = true;
    const char* wanted = std::getenv("KORVANE_LOG");
    if (!wanted) return;
    const int level = level_named(wanted);
    if (!level) {
        bool blank = true;
        for (const char* c = wanted; *c; ++c) blank = blank && std::isspace(static_cast<unsigned char>(*c));
        if (blank) return;  // set but empty: as if unset
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "KORVANE_LOG=%.80s is not a level the SDK knows (debug, info, warning or error, in any "
                             "case): ignored",
                             wanted) < 0) {
            throw nb::python_error();
        }
        return;
    }
    nb::module_ logging = nb::module_::import_("logging");
    nb::object logger = logging.attr("getLogger")("korvane_sdk");
    logger.attr("setLevel")(level);
    if (application_prints(logging, logger)) return;       // the application's handlers print them
    nb::object handler = logging.attr("StreamHandler")();  // stderr
    handler.attr("set_name")(kOwnHandler);
    handler.attr("setFormatter")(logging.attr("Formatter")("%(asctime)s %(name)s %(levelname)s %(message)s"));
    // The filter holds the module and the logger (both live for the process) and is held by the handler.
    // A failure to look at the handlers prints the record: logging must not make a request fail.
    handler.attr("addFilter")(nb::cpp_function([logging, logger](nb::handle /*record*/) {
        try {
            return !application_prints(logging, logger);
        } catch (nb::python_error&) {
            return true;
        }
    }));
    logger.attr("addHandler")(handler);
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
