// CA locations for a request from Session.verify and the environment.
#include "http/trust.hpp"
#include "py/raise.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace korvane::http {
namespace {

// The file-system path `verify` names, or false when it names none (True, 1, ...).
bool path_of(nb::handle verify, std::string& path) {
    PyObject* o = verify.ptr();
    if (PyBool_Check(o) || PyLong_Check(o) || PyFloat_Check(o) || o == Py_None) return false;
    nb::object fspath = nb::steal(PyOS_FSPath(o));
    if (!fspath.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    nb::object encoded = nb::steal(PyUnicode_Check(fspath.ptr()) ? PyUnicode_EncodeFSDefault(fspath.ptr())
                                                                 : Py_NewRef(fspath.ptr()));
    if (!encoded.is_valid()) throw nb::python_error();
    path.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    return true;
}

// A non-empty environment variable, or nullptr.
const char* variable(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

bool is_https(const std::string& url) {
    static constexpr std::string_view kScheme = "https://";
    if (url.size() < kScheme.size()) return false;
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kScheme[i]) return false;
    }
    return true;
}

}  // namespace

void plan_trust(RequestPlan& plan, nb::handle verify) {
    int truth = PyObject_IsTrue(verify.ptr());
    if (truth < 0) throw nb::python_error();
    plan.verify = truth == 1;
    if (!plan.verify) return;
    std::string bundle;
    if (!path_of(verify, bundle)) {
        const char* named = variable("REQUESTS_CA_BUNDLE");
        if (!named) named = variable("CURL_CA_BUNDLE");
        if (named) bundle = named;
    }
    if (!bundle.empty()) {
        if (!is_https(plan.url)) return;
        if (bundle.find('\0') != std::string::npos) {
            py::raise_text(PyExc_ValueError, "verify: embedded null byte in the CA bundle path");
        }
        struct stat info;
        if (stat(bundle.c_str(), &info) != 0) {
            const auto size = static_cast<Py_ssize_t>(bundle.size());
            nb::object text = nb::steal(PyUnicode_DecodeFSDefaultAndSize(bundle.data(), size));
            if (!text.is_valid()) throw nb::python_error();
            py::raise(PyExc_OSError, "Could not find a suitable TLS CA certificate bundle, invalid path: %U",
                      text.ptr());
        }
        // Only what the caller names is trusted: the system's file or directory is not added.
        const bool directory = S_ISDIR(info.st_mode);
        plan.ca_file = {true, directory ? std::string() : bundle};
        plan.ca_dir = {true, directory ? bundle : std::string()};
        return;
    }
    // OpenSSL's own variables, each in place of the system's location of its kind.
    if (const char* file = variable("SSL_CERT_FILE")) plan.ca_file = {true, file};
    if (const char* dir = variable("SSL_CERT_DIR")) plan.ca_dir = {true, dir};
}

}  // namespace korvane::http
