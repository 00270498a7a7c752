// Private test hooks for the JSON codec: korvane_sdk._core._json_loads / _json_dumps.
#include "bindings.hpp"
#include "json/json.hpp"
#include "py/raise.hpp"

namespace korvane::json {
namespace {

// Text as json.loads takes it: bytes and bytearray as UTF-8, str as its characters.
nb::object loads(nb::handle data) {
    PyObject* o = data.ptr();
    if (PyBytes_Check(o)) {
        return parse(std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o))));
    }
    if (PyByteArray_Check(o)) {
        nb::object copy = nb::steal(PyBytes_FromObject(o));  // a bytearray may change under us
        if (!copy.is_valid()) throw nb::python_error();
        return loads(copy);
    }
    if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        // A str holding lone surrogates has no UTF-8 form: json.loads judges it itself.
        const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
        if (!utf8) {
            PyErr_Clear();
            return nb::module_::import_("json").attr("loads")(data);
        }
        return parse_text(std::string_view(utf8, static_cast<std::size_t>(size)), o);
    }
    py::raise(PyExc_TypeError, "the JSON object must be str, bytes or bytearray, not %s", Py_TYPE(o)->tp_name);
}

nb::bytes dumps_bytes(nb::handle value) {
    const std::string text = dumps(value);
    return nb::bytes(text.data(), text.size());
}

}  // namespace

void bind(nb::module_& m) {
    m.def("_json_loads", &loads, nb::arg("data").none(), "Decode JSON text (bytes or str) with the native reader.");
    m.def("_json_dumps", &dumps_bytes, nb::arg("obj").none(),
          "Encode an object as compact JSON bytes with the native writer.");
}

}  // namespace korvane::json
