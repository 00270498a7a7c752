// korvane_sdk.models.ValidationError: a ValueError listing each problem with errors() and its text.
#include "records/validation_error.hpp"

#include <string>

#include "py/raise.hpp"
#include "py/signed_method.hpp"
#include "records/dump.hpp"

namespace korvane::records {
namespace {

PyObject* g_type = nullptr;  // the class, kept for the life of the process

constexpr Py_ssize_t kReprLimit = 50;

// repr() of an input for the text form: never fails, long ones shortened in the middle.
std::string short_repr(nb::handle value) {
    nb::object text = nb::steal(PyObject_Repr(value.ptr()));
    if (!text.is_valid()) {
        PyErr_Clear();
        return std::string("<unprintable ") + Py_TYPE(value.ptr())->tp_name + " object>";
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (length > kReprLimit) {
        nb::object head = nb::steal(PyUnicode_Substring(text.ptr(), 0, kReprLimit / 2));
        nb::object tail = nb::steal(PyUnicode_Substring(text.ptr(), length - (kReprLimit / 2 - 1), length));
        if (!head.is_valid() || !tail.is_valid()) throw nb::python_error();
        return std::string(nb::str(head).c_str()) + "..." + nb::str(tail).c_str();
    }
    const char* utf8 = PyUnicode_AsUTF8(text.ptr());
    if (!utf8) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return utf8;
}

std::string loc_text(nb::handle loc) {
    std::string out;
    for (nb::handle part : nb::borrow<nb::tuple>(loc)) {
        if (!out.empty()) out += '.';
        out += nb::str(part).c_str();
    }
    return out;
}

// "2 validation errors for Tenant", then per problem its location and reason.
nb::str text_form(nb::handle self) {
    nb::object title = nb::getattr(self, "title", nb::str("?"));
    nb::object issues = nb::getattr(self, "_errors", nb::list());
    const size_t count = nb::len(issues);
    std::string out = std::to_string(count) + " validation error" + (count == 1 ? "" : "s") + " for " +
                      nb::str(title).c_str();
    for (nb::handle issue : issues) {
        nb::dict entry = nb::borrow<nb::dict>(issue);
        out += '\n';
        std::string where = loc_text(entry["loc"]);
        if (!where.empty()) out += where + "\n  ";
        nb::object input = entry.contains("input") ? nb::object(entry["input"]) : nb::object(nb::none());
        out += std::string(nb::str(entry["msg"]).c_str()) + " [type=" + nb::str(entry["type"]).c_str() +
               ", input_value=" + short_repr(input) + ", input_type=" +
               nb::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(input.ptr()))).attr("__name__")).c_str() + "]";
    }
    return nb::str(out.c_str(), out.size());
}

void init(nb::handle self, nb::handle title, nb::handle issues) {
    nb::object copied = nb::steal(PySequence_List(issues.ptr()));
    if (!copied.is_valid()) throw nb::python_error();
    nb::object args = nb::make_tuple(title, copied);
    if (reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_init(self.ptr(), args.ptr(), nullptr) < 0) {
        throw nb::python_error();
    }
    nb::setattr(self, "title", title);
    nb::setattr(self, "_errors", copied);
}

void drop(PyObject* mapping, const char* key) {
    if (PyDict_DelItemString(mapping, key) == 0) return;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
}

// A fresh list of fresh mappings: changing what errors() gave changes nothing here.
nb::list errors(nb::handle self, bool include_url, bool include_context, bool include_input) {
    (void)include_url;  // accepted for familiarity; the problems carry no documentation links
    nb::list out;
    for (nb::handle issue : nb::getattr(self, "_errors")) {
        nb::object copy = nb::steal(PyDict_Copy(issue.ptr()));
        if (!copy.is_valid()) throw nb::python_error();
        if (!include_context) drop(copy.ptr(), "ctx");
        if (!include_input) drop(copy.ptr(), "input");
        out.append(copy);
    }
    return out;
}

// errors() as JSON text, in pydantic's shape: compact (or indented by `indent`), inputs that JSON
// cannot carry in their JSON form or as text, NaN and infinities written as json.dumps writes them.
// The problems carry no documentation links, so `include_url` changes nothing.
nb::object json_text(nb::handle self, nb::handle indent, bool include_url, bool include_context, bool include_input) {
    nb::list issues = errors(self, include_url, include_context, include_input);
    nb::object dumps = nb::module_::import_("json").attr("dumps");
    nb::object fallback = nb::cpp_function([](nb::handle value) { return json_form_or_text(value.ptr()); });
    nb::dict options;
    options["ensure_ascii"] = false;
    options["default"] = fallback;
    options["indent"] = indent;
    if (indent.is_none()) options["separators"] = nb::make_tuple(",", ":");
    return dumps(issues, **options);
}

}  // namespace

nb::dict make_issue(const char* type, nb::handle loc, nb::handle msg, nb::handle input, nb::handle ctx) {
    nb::dict issue;
    issue["type"] = type;
    issue["loc"] = loc;
    issue["msg"] = msg;
    issue["input"] = input;
    if (ctx.is_valid()) issue["ctx"] = ctx;
    return issue;
}

void raise_validation_error(nb::handle title, nb::handle issues) {
    nb::object error = nb::steal(PyObject_CallFunctionObjArgs(g_type, title.ptr(), issues.ptr(), nullptr));
    if (!error.is_valid()) throw nb::python_error();
    py::raise_object(g_type, error.ptr());
}

void raise_single(nb::handle title, const char* type, nb::handle msg, nb::handle input, nb::handle ctx) {
    nb::list issues;
    issues.append(make_issue(type, nb::tuple(), msg, input, ctx));
    raise_validation_error(title, issues);
}

void bind_validation_error(nb::module_& m) {
    g_type = PyErr_NewExceptionWithDoc(
        "korvane_sdk.models.ValidationError",
        "Raised when data does not fit a record: lists every problem, each with its location and reason.",
        PyExc_ValueError, nullptr);
    if (!g_type) throw nb::python_error();
    nb::handle cls(g_type);
    nb::setattr(cls, "__init__",
                py::signed_method(nb::cpp_function(&init, nb::scope(cls), nb::name("__init__"), nb::is_method(),
                                                   nb::arg("title"), nb::arg("errors"))));
    nb::setattr(cls, "__str__", nb::cpp_function(&text_form, nb::scope(cls), nb::name("__str__"), nb::is_method()));
    nb::setattr(cls, "errors",
                py::signed_method(nb::cpp_function(
                    &errors, nb::scope(cls), nb::name("errors"), nb::is_method(), nb::kw_only(),
                    nb::arg("include_url") = true, nb::arg("include_context") = true, nb::arg("include_input") = true,
                    "The problems, each a mapping with type, loc, msg, input and (for bounds and "
                    "parsing) ctx.")));
    nb::setattr(cls, "json",
                py::signed_method(nb::cpp_function(&json_text, nb::scope(cls), nb::name("json"), nb::is_method(),
                                                   nb::kw_only(), nb::arg("indent").none() = nb::none(),
                                                   nb::arg("include_url") = true, nb::arg("include_context") = true,
                                                   nb::arg("include_input") = true,
                                                   "The problems of errors() as JSON text.")));
    nb::setattr(cls, "error_count",
                py::signed_method(nb::cpp_function(
                    [](nb::handle self) { return nb::len(nb::getattr(self, "_errors")); }, nb::scope(cls),
                    nb::name("error_count"), nb::is_method(), "The number of problems.")));
    m.attr("ValidationError") = cls;
}

}  // namespace korvane::records
