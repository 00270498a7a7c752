// Defines the exception classes: constructors with fixed status and code, text form, pickling.
#include "errors/errors.hpp"

#include <array>
#include <string>

#include "bindings.hpp"
#include "py/arguments.hpp"
#include "py/raise.hpp"
#include "py/signed_method.hpp"
#include "util/lazy_names.hpp"

namespace korvane::errors {
namespace {

constexpr const char* kModule = "korvane_sdk.exceptions";

// What each class fixes. A subclass constructor takes (message=default, [extra], **kwargs)
// and hands everything to KorvaneError's constructor together with its fixed values.
struct ClassInfo {
    Kind kind;
    Kind base;
    const char* name;
    const char* doc;
    const char* default_message;  // nullptr: required (KorvaneError) or built from the job id
    int fixed_status;             // 0: not fixed
    const char* fixed_code;       // nullptr: not fixed
    const char* extra;            // extra constructor parameter stored after the base runs
};

constexpr std::array<ClassInfo, 11> kClasses{{
    {Kind::Korvane, Kind::Korvane, "KorvaneError", "Base exception for all Korvane SDK errors.", nullptr, 0, nullptr,
     nullptr},
    {Kind::Authentication, Kind::Korvane, "AuthenticationError",
     "Raised when authentication fails.\n\nCommon causes: invalid, expired or missing API key.",
     "Authentication failed", 401, "AUTH_ERROR", nullptr},
    {Kind::RateLimit, Kind::Korvane, "RateLimitError", "Raised when rate limits are exceeded.", "Rate limit exceeded",
     429, "RATE_LIMIT", "retry_after"},
    {Kind::InvalidRequest, Kind::Korvane, "InvalidRequestError",
     "Raised when the request is invalid.\n\nCommon causes: missing required parameters, invalid "
     "parameter values, malformed request body.",
     "Invalid request", 400, "INVALID_REQUEST", nullptr},
    {Kind::NotFound, Kind::Korvane, "NotFoundError", "Raised when a resource is not found.", "Resource not found", 404,
     "NOT_FOUND", nullptr},
    {Kind::Server, Kind::Korvane, "ServerError", "Raised when the server encounters an error.", "Server error", 500,
     "SERVER_ERROR", nullptr},
    {Kind::Training, Kind::Korvane, "TrainingError", "Base exception for training-related errors.", "Training error", 0,
     "TRAINING_ERROR", nullptr},
    {Kind::TrainingJobNotFound, Kind::Training, "TrainingJobNotFoundError", "Raised when a training job is not found.",
     nullptr, 0, "JOB_NOT_FOUND", "job_id"},
    {Kind::TrainingData, Kind::Training, "TrainingDataError", "Raised when training data is invalid.",
     "Invalid training data", 0, "INVALID_TRAINING_DATA", nullptr},
    {Kind::Connection, Kind::Korvane, "ConnectionError", "Raised when connection to the API fails.",
     "Failed to connect to Korvane API", 0, "CONNECTION_ERROR", nullptr},
    {Kind::Timeout, Kind::Korvane, "TimeoutError", "Raised when a request times out.", "Request timed out", 0,
     "TIMEOUT", nullptr},
}};

std::array<PyObject*, kClasses.size()> g_types{};  // owned for the life of the process

// Stores the four base fields; `details` is never None: a missing or empty one becomes a new dict.
void store_fields(nb::handle self, nb::handle message, nb::handle http_status, nb::handle error_code,
                  nb::handle details) {
    nb::object args = nb::make_tuple(message);
    if (reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_init(self.ptr(), args.ptr(), nullptr) < 0)
        throw nb::python_error();
    nb::setattr(self, "message", message);
    nb::setattr(self, "http_status", http_status);
    nb::setattr(self, "error_code", error_code);
    bool empty = details.is_none() || !PyObject_IsTrue(details.ptr());
    if (PyErr_Occurred()) throw nb::python_error();
    nb::setattr(self, "details", empty ? nb::object(nb::dict()) : nb::borrow(details));
}

// KorvaneError(message, http_status=None, error_code=None, details=None)
void init_base(nb::handle self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"message", "http_status", "error_code", "details"};
    py::Arguments parsed("KorvaneError.__init__", names, 4, 1, args, kwargs, /*accept_extra=*/false);
    store_fields(self, parsed[0], parsed.get_or_none(1), parsed.get_or_none(2), parsed.get_or_none(3));
}

// Subclass constructors: own parameters, fixed values added, the rest forwarded by keyword.
void init_subclass(const ClassInfo& cls, nb::handle self, PyObject* args, PyObject* kwargs) {
    const bool job = cls.kind == Kind::TrainingJobNotFound;
    const char* names[2] = {job ? "job_id" : "message", cls.extra};
    const size_t count = (job || !cls.extra) ? 1 : 2;
    std::string where = std::string(cls.name) + ".__init__";
    py::Arguments parsed(where.c_str(), names, count, job ? 1 : 0, args, kwargs, /*accept_extra=*/true);

    nb::object message;
    if (job) {
        message = nb::str("Training job '{}' not found").format(nb::str(parsed[0]));
    } else {
        message = parsed.has(0) ? nb::borrow(parsed[0]) : nb::object(nb::str(cls.default_message));
    }

    nb::dict forwarded = parsed.extra();
    auto fix = [&](const char* key, nb::object value) {
        if (forwarded.contains(key)) {
            py::raise(PyExc_TypeError, "KorvaneError.__init__() got multiple values for keyword argument '%s'", key);
        }
        forwarded[key] = value;
    };
    if (job && forwarded.contains("message")) {
        py::raise_text(PyExc_TypeError, "KorvaneError.__init__() got multiple values for argument 'message'");
    }
    if (cls.fixed_status) fix("http_status", nb::int_(cls.fixed_status));
    if (cls.fixed_code) fix("error_code", nb::str(cls.fixed_code));

    nb::object base_args = nb::make_tuple(message);
    init_base(self, base_args.ptr(), forwarded.ptr());
    if (cls.extra) {
        nb::handle extra = job ? parsed[0] : parsed.get_or_none(1);
        nb::setattr(self, cls.extra, extra);
    }
}

// Text form: message, then "[code]" when the code is non-empty, then "(HTTP status)" when non-zero.
nb::str text_form(nb::handle self) {
    nb::str text = nb::str(nb::getattr(self, "message", nb::none()));
    nb::object code = nb::getattr(self, "error_code", nb::none());
    nb::object status = nb::getattr(self, "http_status", nb::none());
    auto truthy = [](nb::handle v) {
        int r = PyObject_IsTrue(v.ptr());
        if (r < 0) throw nb::python_error();
        return r == 1;
    };
    if (truthy(code)) text = nb::str("{} [{}]").format(text, nb::str(code));
    if (truthy(status)) text = nb::str("{} (HTTP {})").format(text, nb::str(status));
    return text;
}

// Pickles as (new object of the class, fields and args) and restores without running the
// constructor, so an error arrives exactly as it left, whatever its constructor would build from
// its arguments. BaseException.__setstate__ sets each entry as an attribute.
nb::tuple reduce(nb::handle self) {
    nb::dict state;
    nb::object fields = nb::getattr(self, "__dict__", nb::none());
    if (!fields.is_none()) state.update(fields);
    state["args"] = nb::getattr(self, "args");
    nb::object newobj = nb::module_::import_("copyreg").attr("__newobj__");
    return nb::make_tuple(newobj, nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())))), state);
}

using Types = std::array<nb::object, kClasses.size()>;

// The constructor's parameters as nanobind shows them (and inspect, through signed_method): the
// base takes all four fields; a subclass its message (or job id) and own field, then by keyword
// the fields it does not fix.
std::string constructor_signature(const ClassInfo& cls, size_t index) {
    if (index == 0) {
        return "def __init__(self, message: str, http_status: int | None = None, error_code: str | None = None, "
               "details: dict[str, Any] | None = None) -> None";
    }
    std::string text = "def __init__(self, ";
    if (cls.kind == Kind::TrainingJobNotFound) {
        text += "job_id: str";
    } else {
        nb::str message = nb::repr(nb::str(cls.default_message));
        text += std::string("message: str = ") + message.c_str();
        if (cls.extra) text += std::string(", ") + cls.extra + ": int | None = None";
    }
    text += ", *";
    if (!cls.fixed_status) text += ", http_status: int | None = None";
    text += ", details: dict[str, Any] | None = None) -> None";
    return text;
}

nb::object create_type(size_t index, const Types& made) {
    const ClassInfo& cls = kClasses[index];
    std::string qualified = std::string(kModule) + "." + cls.name;
    PyObject* base = index == 0 ? PyExc_Exception : made[static_cast<size_t>(cls.base)].ptr();
    nb::object type = nb::steal(PyErr_NewExceptionWithDoc(qualified.c_str(), cls.doc, base, nullptr));
    if (!type.is_valid()) throw nb::python_error();
    static std::array<std::string, kClasses.size()> signatures;  // nanobind keeps pointers into them
    signatures[index] = constructor_signature(cls, index);
    nb::object init = nb::cpp_function(
        [index](nb::handle self, nb::args args, nb::kwargs kwargs) {
            if (index == 0) {
                init_base(self, args.ptr(), kwargs.ptr());
            } else {
                init_subclass(kClasses[index], self, args.ptr(), kwargs.ptr());
            }
        },
        nb::scope(type), nb::name("__init__"), nb::is_method(), nb::sig(signatures[index].c_str()));
    nb::setattr(type, "__init__", py::signed_method(init));
    if (index == 0) {
        // Context of the failed exchange, set on errors raised by the client (None otherwise).
        for (const char* context : {"method", "url", "request_id", "headers", "body"}) {
            nb::setattr(type, context, nb::none());
        }
        nb::setattr(type, "__reduce__",
                    nb::cpp_function(&reduce, nb::scope(type), nb::name("__reduce__"), nb::is_method()));
        nb::setattr(type, "__str__",
                    nb::cpp_function(&text_form, nb::scope(type), nb::name("__str__"), nb::is_method()));
    }
    return type;
}

// Builds the whole hierarchy and publishes it: in g_types for the C++ core, on the module for
// Python. Made on first use: a program that never meets an error does not pay for the classes.
void make_types() {
    if (g_types[0]) return;
    // An error may be pending while the classes are looked up (to match it): it survives.
    nb::error_scope pending;
    Types made;
    for (size_t i = 0; i < kClasses.size(); ++i) made[i] = create_type(i, made);
    // Making classes can run Python code (a collection), so another thread may have finished
    // first: only one hierarchy is ever published.
    if (g_types[0]) return;
    nb::handle module = util::LazyNames::module();
    for (size_t i = 0; i < kClasses.size(); ++i) {
        if (module.is_valid()) nb::setattr(module, kClasses[i].name, made[i]);
        g_types[i] = made[i].release().ptr();
    }
}

}  // namespace

nb::handle type(Kind kind) {
    make_types();
    return g_types[static_cast<size_t>(kind)];
}

nb::object make(Kind kind, nb::tuple args, nb::dict kwargs) {
    PyObject* error = PyObject_Call(type(kind).ptr(), args.ptr(), kwargs.ptr());
    if (!error) throw nb::python_error();
    return nb::steal(error);
}

void raise(nb::handle error) { py::raise_object(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr()); }

void add_note(nb::handle error, nb::handle note) {
    if (nb::hasattr(error, "add_note")) {
        nb::getattr(error, "add_note")(note);
        return;
    }
    nb::object notes = nb::getattr(error, "__notes__", nb::none());
    if (notes.is_none()) {
        notes = nb::list();
        nb::setattr(error, "__notes__", notes);
    }
    if (PyList_Check(notes.ptr()) && PyList_Append(notes.ptr(), note.ptr()) < 0) throw nb::python_error();
}

// The classes are made on first use (make_types): here they are only declared.
void bind(nb::module_& /*m*/) {
    for (const ClassInfo& cls : kClasses) util::LazyNames::add(cls.name, &make_types);
}

}  // namespace korvane::errors
