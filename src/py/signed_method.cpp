// A method descriptor around a nanobind method that tells inspect its signature.
//
// nanobind's functions keep their signature in __nb_signature__, which inspect does not read:
// inspect.signature() raised ValueError and help() showed no parameters. inspect reads
// __text_signature__ from method descriptors, so this wrapper is one (Py_TPFLAGS_METHOD_DESCRIPTOR:
// calls through an instance are made without a bound-method object, as for nanobind's own), and
// forwards each call to the wrapped function by vectorcall.
#include "py/signed_method.hpp"
#include "util/python_compat.hpp"

#include <cstddef>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "py/spec_type.hpp"

namespace korvane::py {
namespace {

struct SignedMethod {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* function;        // strong: the nanobind method that does the work
    PyObject* text_signature;  // strong once made (on first request), else null
};

SignedMethod* as_signed(PyObject* self) { return reinterpret_cast<SignedMethod*>(self); }

PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(as_signed(self)->function, args, nargsf, kwnames);
}

// Its strong references, for the garbage collector.
using References = py::StrongMembers<SignedMethod, &SignedMethod::function, &SignedMethod::text_signature>;

// Through an instance: a bound method; through the class: the descriptor itself.
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// Attributes the descriptor lacks are the wrapped function's, and so is __module__ (the type's
// own would name this file's module, not the class's).
PyObject* getattro(PyObject* self, PyObject* name) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__module__") == 0) {
        return PyObject_GetAttr(as_signed(self)->function, name);
    }
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    return PyObject_GetAttr(as_signed(self)->function, name);
}

PyObject* get_text_signature(PyObject* self, void*) {
    SignedMethod* method = as_signed(self);
    if (method->text_signature) return Py_NewRef(method->text_signature);
    try {
        nb::object overloads = nb::getattr(nb::handle(method->function), "__nb_signature__");
        if (!PyTuple_Check(overloads.ptr()) || PyTuple_GET_SIZE(overloads.ptr()) != 1) Py_RETURN_NONE;
        nb::handle only = PyTuple_GET_ITEM(overloads.ptr(), 0);
        nb::str text = text_signature(only[0], only[2]);
        method->text_signature = text.release().ptr();
        return Py_NewRef(method->text_signature);
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

// The documentation without the signature line nanobind puts first (inspect shows the signature).
PyObject* get_doc(PyObject* self, void*) {
    PyObject* overloads = PyObject_GetAttrString(as_signed(self)->function, "__nb_signature__");
    if (!overloads) return nullptr;
    PyObject* doc = nullptr;
    if (PyTuple_Check(overloads) && PyTuple_GET_SIZE(overloads) == 1) {
        PyObject* only = PyTuple_GET_ITEM(overloads, 0);
        if (PyTuple_Check(only) && PyTuple_GET_SIZE(only) >= 2) doc = Py_NewRef(PyTuple_GET_ITEM(only, 1));
    }
    Py_DECREF(overloads);
    return doc ? doc : PyObject_GetAttrString(as_signed(self)->function, "__doc__");
}

// "<method 'ChatCompletions.create'>", as the interpreter names its own method descriptors.
PyObject* repr(PyObject* self) {
    PyObject* qualname = PyObject_GetAttrString(as_signed(self)->function, "__qualname__");
    if (!qualname) return nullptr;
    PyObject* text = PyUnicode_FromFormat("<method %R>", qualname);
    Py_DECREF(qualname);
    return text;
}

PyMemberDef g_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(SignedMethod, vectorcall)), Py_READONLY,
     nullptr},
    {"__wrapped_method__", Py_T_OBJECT_EX, static_cast<Py_ssize_t>(offsetof(SignedMethod, function)), Py_READONLY,
     "The nanobind method that this descriptor calls."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"__text_signature__", &get_text_signature, nullptr, nullptr, nullptr},
    {"__doc__", &get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_members, g_members},
    {Py_tp_getset, g_getset},
    {Py_tp_getattro, reinterpret_cast<void*>(&getattro)},
    {Py_tp_descr_get, reinterpret_cast<void*>(&descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(&References::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&References::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&References::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "korvane_sdk._core.method",
    static_cast<int>(sizeof(SignedMethod)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

// ---- Parsing a nanobind signature text -------------------------------------------------------

bool is_open(char c) { return c == '(' || c == '[' || c == '{'; }
bool is_close(char c) { return c == ')' || c == ']' || c == '}'; }

// Index just past the quoted literal starting at `at` (backslash escapes honoured).
size_t skip_quoted(std::string_view text, size_t at) {
    const char quote = text[at];
    size_t i = at + 1;
    while (i < text.size() && text[i] != quote) i += text[i] == '\\' ? 2 : 1;
    return i + 1;
}

// The parameter list between the first "(" and its matching ")", split at top-level commas.
std::vector<std::string_view> parameters(std::string_view text) {
    const size_t open = text.find('(');
    if (open == std::string_view::npos) throw std::runtime_error("nanobind signature without parameters");
    std::vector<std::string_view> pieces;
    size_t start = open + 1, depth = 0;
    for (size_t i = start; i < text.size();) {
        const char c = text[i];
        if (c == '\'' || c == '"') {
            i = skip_quoted(text, i);
            continue;
        }
        if (is_open(c)) {
            ++depth;
        } else if (is_close(c)) {
            if (depth == 0) {
                pieces.push_back(text.substr(start, i - start));
                return pieces;
            }
            --depth;
        } else if (c == ',' && depth == 0) {
            pieces.push_back(text.substr(start, i - start));
            start = i + 1;
        }
        ++i;
    }
    throw std::runtime_error("nanobind signature with unbalanced brackets");
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.remove_suffix(1);
    return text;
}

// Position of the first top-level `target` (':' or a lone '=') outside brackets and quotes.
size_t top_level(std::string_view piece, char target) {
    size_t depth = 0;
    for (size_t i = 0; i < piece.size();) {
        const char c = piece[i];
        if (c == '\'' || c == '"') {
            i = skip_quoted(piece, i);
            continue;
        }
        if (is_open(c))
            ++depth;
        else if (is_close(c) && depth > 0)
            --depth;
        else if (c == target && depth == 0) {
            const bool lone = target != '=' ||
                              ((i == 0 || std::string_view("=<>!").find(piece[i - 1]) == std::string_view::npos) &&
                               (i + 1 >= piece.size() || piece[i + 1] != '='));
            if (lone) return i;
        }
        ++i;
    }
    return std::string_view::npos;
}

}  // namespace

nb::str text_signature(nb::handle nb_signature_text, nb::handle defaults) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(nb_signature_text.ptr(), &size);
    if (!data) throw nb::python_error();
    std::string out = "(";
    bool first = true;
    for (std::string_view piece : parameters(std::string_view(data, static_cast<size_t>(size)))) {
        piece = trim(piece);
        if (piece.empty()) continue;
        const size_t equals = top_level(piece, '=');
        std::string_view head = equals == std::string_view::npos ? piece : piece.substr(0, equals);
        const size_t colon = top_level(head, ':');
        std::string_view name = trim(colon == std::string_view::npos ? head : head.substr(0, colon));
        if (!first) out += ", ";
        first = false;
        out += name;
        if (equals == std::string_view::npos) continue;
        std::string_view value = trim(piece.substr(equals + 1));
        out += '=';
        if (value.size() > 1 && value[0] == '\\') {
            // nanobind writes defaults as \N, the index into its tuple of default values.
            const size_t index = std::stoul(std::string(value.substr(1)));
            if (!PyTuple_Check(defaults.ptr()) || index >= static_cast<size_t>(PyTuple_GET_SIZE(defaults.ptr()))) {
                throw std::runtime_error("nanobind signature names a default it does not hold");
            }
            nb::str shown = nb::repr(PyTuple_GET_ITEM(defaults.ptr(), static_cast<Py_ssize_t>(index)));
            out += shown.c_str();
        } else {
            out += value;
        }
    }
    out += ')';
    return nb::str(out.data(), out.size());
}

nb::object signed_method(nb::handle nb_method) {
    PyTypeObject* type = py::kept_type<g_spec>();
    SignedMethod* made = PyObject_GC_New(SignedMethod, type);
    if (!made) throw nb::python_error();
    made->vectorcall = &call;
    made->function = Py_NewRef(nb_method.ptr());
    made->text_signature = nullptr;
    PyObject_GC_Track(made);
    return nb::steal(reinterpret_cast<PyObject*>(made));
}

void sign_methods(nb::handle cls) {
    PyObject* namespace_view = PyObject_GetAttrString(cls.ptr(), "__dict__");
    if (!namespace_view) throw nb::python_error();
    nb::object names = nb::steal(namespace_view);
    nb::list items = nb::list(names.attr("items")());
    for (nb::handle item : items) {
        nb::handle value = item[1];
        // nanobind's method type is "nb_method" (module nanobind); only those are wrapped, and of
        // the special methods only __init__ and the with-block pairs, plain and async (the others are
        // reached through type slots; nanobind constructs through the __init__ it keeps, the class's
        // entry is for inspect).
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item[0].ptr(), &size);
        if (!text) throw nb::python_error();
        const std::string_view name(text, static_cast<size_t>(size));
        const bool special = name.size() > 4 && name.substr(0, 2) == "__" && name != "__enter__" &&
                             name != "__exit__" && name != "__aenter__" && name != "__aexit__" && name != "__init__";
        if (!special && std::string_view(Py_TYPE(value.ptr())->tp_name) == "nanobind.nb_method") {
            nb::setattr(cls, item[0], signed_method(value));
        }
    }
}

}  // namespace korvane::py
