// A call's OpenTelemetry span: the cheap check for a provider, and the calls into korvane_sdk._otel.
#include "api/engine/telemetry.hpp"

namespace korvane::api::engine {
namespace {

// Interned once and kept for the process.
PyObject* interned(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (!name) throw nb::python_error();
    return name;
}

// Whether the global provider held as `attribute` by the module `module_name` was set. The module
// is looked up in sys.modules (never imported: an application that set a provider imported it), and
// kept for the process once found. An opentelemetry-api without that attribute counts as set: the
// Python side then asks the public API.
bool provider_set(PyObject* module_name, PyObject* attribute, PyObject*& module) {
    if (!module) {
        PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name);  // borrowed
        if (!found) {
            if (PyErr_Occurred()) PyErr_Clear();
            return false;
        }
        module = Py_NewRef(found);
    }
    PyObject* provider = PyObject_GetAttr(module, attribute);
    if (!provider) {
        PyErr_Clear();
        return true;
    }
    const bool set = provider != Py_None;
    Py_DECREF(provider);
    return set;
}

bool wanted() {
    static PyObject* trace_name = interned("opentelemetry.trace");
    static PyObject* tracer_attribute = interned("_TRACER_PROVIDER");
    static PyObject* metrics_name = interned("opentelemetry.metrics._internal");
    static PyObject* meter_attribute = interned("_METER_PROVIDER");
    static PyObject* trace_module = nullptr;    // kept for the process once found
    static PyObject* metrics_module = nullptr;  // kept for the process once found
    return provider_set(trace_name, tracer_attribute, trace_module) ||
           provider_set(metrics_name, meter_attribute, metrics_module);
}

nb::handle otel_begin() {
    // Kept for the process as a plain pointer: an nb::object here would be released by a C++ static
    // destructor after the interpreter is gone.
    static PyObject* begin = nb::object(nb::module_::import_("korvane_sdk._otel").attr("begin")).release().ptr();
    return begin;
}

}  // namespace

void CallSpan::begin(nb::handle method, nb::handle url, nb::handle path, nb::handle body, nb::handle headers,
                     bool stream) {
    if (!wanted()) return;
    nb::error_scope keep;
    try {
        nb::object span = otel_begin()(method, url, path, body, headers, nb::bool_(stream));
        if (!span.is_none()) span_ = std::move(span);
    } catch (nb::python_error& failure) {
        failure.discard_as_unraisable("korvane_sdk: starting a call's OpenTelemetry span");
    }
}

void CallSpan::tell(const char* name, nb::handle a, nb::handle b) noexcept {
    if (!span_.is_valid()) return;
    nb::error_scope keep;
    try {
        nb::object method = span_.attr(name);
        if (b.is_valid()) {
            method(a, b);
        } else if (a.is_valid()) {
            method(a);
        } else {
            method();
        }
    } catch (nb::python_error& failure) {
        span_.reset();
        failure.discard_as_unraisable("korvane_sdk: recording a call's OpenTelemetry span");
    } catch (...) {
        span_.reset();
    }
}

void CallSpan::status(long code) {
    if (span_.is_valid()) tell("status", nb::int_(code));
}

void CallSpan::retry(nb::handle reason) { tell("retry", reason); }

void CallSpan::retry(long status) {
    if (span_.is_valid()) tell("retry", nb::int_(status));
}

void CallSpan::chunk(nb::handle chunk) { tell("chunk", chunk); }

void CallSpan::ok(nb::handle result) {
    tell("ok", result);
    span_.reset();
}

void CallSpan::failed(nb::handle error) {
    tell("failed", error);
    span_.reset();
}

void CallSpan::stream_end(const char* how, nb::handle error_type) {
    if (!span_.is_valid()) return;
    tell("stream_end", nb::str(how), error_type.is_valid() ? error_type : nb::handle(Py_None));
    span_.reset();
}

void CallSpan::abandon() noexcept {
    if (!span_.is_valid()) return;
    tell("abandon");
    span_.reset();
}

}  // namespace korvane::api::engine
