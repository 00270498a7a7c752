// Writes Python objects as compact JSON text with json.dumps semantics, straight into a string.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "json/float_format.hpp"
#include "json/json.hpp"
#include "json/sink.hpp"
#include "json/string_writer.hpp"
#include "py/raise.hpp"
#include "util/python_compat.hpp"
#include "util/stack.hpp"

namespace korvane::json {
namespace {

[[noreturn]] void raise(PyObject* type, const char* message) { py::raise_text(type, message); }

// __name__ of the object's type, as the interpreter's json module names it in messages.
nb::object type_name(PyObject* o) {
    nb::object name = nb::steal(PyType_GetName(Py_TYPE(o)));
    if (!name.is_valid()) throw nb::python_error();
    return name;
}

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    void value(PyObject* o) {
        PyTypeObject* type = Py_TYPE(o);
        // Exact built-in types first: they are nearly everything a request body holds.
        if (type == &PyUnicode_Type) return detail::write_string(o, out_);
        if (type == &PyLong_Type) return integer(o);
        if (type == &PyDict_Type) return dict(o);
        if (type == &PyList_Type || type == &PyTuple_Type) return sequence(o);
        if (type == &PyFloat_Type) return real(o);
        if (o == Py_None) return out_.literal("null");
        if (o == Py_True) return out_.literal("true");
        if (o == Py_False) return out_.literal("false");
        // Subclasses, by their built-in value; other mappings through their items().
        if (PyUnicode_Check(o)) return detail::write_string(o, out_);
        if (PyLong_Check(o)) return integer(o);
        if (PyFloat_Check(o)) return real(o);
        if (PyList_Check(o) || PyTuple_Check(o)) return sequence(o);
        if (PyDict_Check(o) || is_mapping(o)) return mapping(o);
        py::raise(PyExc_TypeError, "Object of type %U is not JSON serializable", type_name(o).ptr());
    }

private:
    // Marks a container as being written for as long as it is: refuses circular structures,
    // nesting deeper than the reader would accept back, and nesting the interpreter refuses.
    class Enter {
    public:
        Enter(Writer& writer, PyObject* container) : writer_(writer) {
            auto& path = writer.path_;
            if (std::find(path.begin(), path.end(), container) != path.end()) {
                raise(PyExc_ValueError, "Circular reference detected");
            }
            if (path.size() >= kMaxDepth || util::below_stack_floor(writer.stack_floor_)) {
                raise(PyExc_RecursionError, "maximum nesting depth exceeded while encoding a JSON object");
            }
            if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw nb::python_error();
            path.push_back(container);
        }
        ~Enter() {
            writer_.path_.pop_back();
            Py_LeaveRecursiveCall();
        }
        Enter(const Enter&) = delete;
        Enter& operator=(const Enter&) = delete;

    private:
        Writer& writer_;
    };

    void integer(PyObject* o) {
#if PY_VERSION_HEX >= 0x030C0000
        // Values of one machine digit, nearly all of them, are read without any call.
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
            return digits(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
        }
#endif
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            if (small == -1 && PyErr_Occurred()) throw nb::python_error();
            return digits(small);
        }
        // int.__repr__ itself, so subclasses with their own repr still write their value.
        nb::object text = nb::steal(PyLong_Type.tp_repr(o));
        if (!text.is_valid()) throw nb::python_error();
        append_ascii(text.ptr());
    }

    void real(PyObject* o) {
        const double value = PyFloat_AS_DOUBLE(o);
        if (!std::isfinite(value)) {
            py::raise(PyExc_ValueError, "Out of range float values are not JSON compliant: %s",
                      std::isnan(value) ? "nan"
                      : value > 0       ? "inf"
                                        : "-inf");
        }
        char* w = out_.reserve(detail::kFloatTextMax);
        out_.commit(detail::format_float(value, w));
    }

    void digits(long long value) {
        char* w = out_.reserve(24);
        out_.commit(std::to_chars(w, w + 24, value).ptr);
    }

    void sequence(PyObject* o) {
        Enter enter(*this, o);
        out_.put('[');
        // Size re-read on every step and each item held: writing never runs code that could
        // shrink the list under us, but a mapping's items() elsewhere in the tree might.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            if (i) out_.put(',');
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(o, i));
            value(item.ptr());
        }
        out_.put(']');
    }

    void dict(PyObject* o) {
        Enter enter(*this, o);
        out_.put('{');
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        while (PyDict_Next(o, &pos, &k, &v)) {
            nb::object key = nb::borrow(k), item = nb::borrow(v);
            if (!first) out_.put(',');
            first = false;
            this->key(key.ptr());
            out_.put(':');
            value(item.ptr());
        }
        out_.put('}');
    }

    // Dict subclasses and other mappings: through items(), as the caller defined it.
    void mapping(PyObject* o) {
        Enter enter(*this, o);
        nb::object items = nb::steal(PyMapping_Items(o));
        if (!items.is_valid()) throw nb::python_error();
        out_.put('{');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            nb::object pair = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
            if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2) {
                raise(PyExc_ValueError, "items must return 2-tuples");
            }
            if (i) out_.put(',');
            key(PyTuple_GET_ITEM(pair.ptr(), 0));
            out_.put(':');
            value(PyTuple_GET_ITEM(pair.ptr(), 1));
        }
        out_.put('}');
    }

    // Keys are always written as strings; the scalars json.dumps accepts are written as their text.
    void key(PyObject* k) {
        if (PyUnicode_Check(k)) return detail::write_string(k, out_);
        out_.put('"');
        if (PyFloat_Check(k)) {
            real(k);
        } else if (k == Py_True) {
            out_.literal("true");
        } else if (k == Py_False) {
            out_.literal("false");
        } else if (k == Py_None) {
            out_.literal("null");
        } else if (PyLong_Check(k)) {
            integer(k);
        } else {
            py::raise(PyExc_TypeError, "keys must be str, int, float, bool or None, not %U", type_name(k).ptr());
        }
        out_.put('"');
    }

    static bool is_mapping(PyObject* o) {
        nb::object mapping_type = nb::module_::import_("collections.abc").attr("Mapping");
        const int result = PyObject_IsInstance(o, mapping_type.ptr());
        if (result < 0) throw nb::python_error();
        return result == 1;
    }

    void append_ascii(PyObject* text) {
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
        if (!bytes) throw nb::python_error();
        out_.append(bytes, static_cast<std::size_t>(size));
    }

    detail::Sink out_;
    std::vector<PyObject*> path_;  // containers being written, outermost first
    std::uintptr_t stack_floor_ = util::stack_floor();
};

}  // namespace

void write(nb::handle value, std::string& out) {
    Writer writer(out);
    writer.value(value.ptr());
}

}  // namespace korvane::json
