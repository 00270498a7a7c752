// The case-insensitive headers mapping and its Python face (korvane_sdk.http.Headers).
#include "http/headers.hpp"

#include <nanobind/stl/string.h>
#include "py/raise.hpp"
#include "py/signed_method.hpp"

namespace korvane::http {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Header bytes are Latin-1 on the wire; every byte maps to one code point, so this never fails.
nb::str latin1(const std::string& text) {
    PyObject* s = PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// The UTF-8 bytes of a str key; nullopt for anything that is not a str.
std::optional<std::string_view> key_text(nb::handle key) {
    if (!PyUnicode_Check(key.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!data) {
        PyErr_Clear();  // lone surrogates: no header can have such a name
        return std::nullopt;
    }
    return std::string_view(data, static_cast<size_t>(size));
}

const std::string* lookup(const HeaderMap& map, nb::handle key) {
    std::optional<std::string_view> name = key_text(key);
    return name ? map.find(*name) : nullptr;
}

}  // namespace

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string HeaderMap::folded(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

size_t HeaderMap::position(std::string_view name) const {
    if (fields_.size() <= kLinearFields) {
        for (size_t i = 0; i < fields_.size(); ++i) {
            if (equals_ignoring_case(fields_[i].first, name)) return i;
        }
        return fields_.size();
    }
    auto hit = index_.find(folded(name));
    return hit == index_.end() ? fields_.size() : hit->second;
}

void HeaderMap::add(std::string_view name, std::string_view value) {
    value = trim(value);
    size_t at = position(name);
    if (at < fields_.size()) {
        fields_[at].second.append(", ").append(value);
        return;
    }
    fields_.emplace_back(std::string(name), std::string(value));
    if (fields_.size() == kLinearFields + 1) {
        for (size_t i = 0; i < fields_.size(); ++i) index_.emplace(folded(fields_[i].first), i);
    } else if (fields_.size() > kLinearFields + 1) {
        index_.emplace(folded(name), fields_.size() - 1);
    }
}

void HeaderMap::continue_last(std::string_view more) {
    if (fields_.empty()) return;
    more = trim(more);
    if (more.empty()) return;
    std::string& value = fields_.back().second;
    if (!value.empty()) value += ' ';
    value.append(more);
}

const std::string* HeaderMap::find(std::string_view name) const {
    size_t at = position(name);
    return at < fields_.size() ? &fields_[at].second : nullptr;
}

std::optional<std::string> header_parameter(std::string_view value, std::string_view parameter) {
    size_t start = value.find(';');
    while (start != std::string_view::npos) {
        std::string_view rest = value.substr(start + 1);
        size_t end = rest.find(';');
        std::string_view item = trim(rest.substr(0, end));
        size_t equals = item.find('=');
        if (equals != std::string_view::npos && equals_ignoring_case(trim(item.substr(0, equals)), parameter)) {
            std::string_view found = trim(item.substr(equals + 1));
            if (found.size() >= 2 && found.front() == '"' && found.back() == '"') {
                found = found.substr(1, found.size() - 2);
            } else if (found.size() >= 1 && (found.front() == '"' || found.front() == '\'')) {
                found.remove_prefix(1);
            }
            return std::string(found);
        }
        start = end == std::string_view::npos ? end : start + 1 + end;
    }
    return std::nullopt;
}

void bind_headers(nb::module_& m) {
    nb::class_<HeaderMap> cls(m, "Headers", "The headers of an answer, looked up by name without regard to case.");
    cls.def("__getitem__",
            [](const HeaderMap& h, nb::handle key) {
                const std::string* value = lookup(h, key);
                if (!value) {
                    py::raise_object(PyExc_KeyError, key.ptr());
                }
                return latin1(*value);
            })
        .def(
            "get",
            [](const HeaderMap& h, nb::handle key, nb::object fallback) -> nb::object {
                const std::string* value = lookup(h, key);
                return value ? nb::object(latin1(*value)) : fallback;
            },
            nb::arg("key"), nb::arg("default") = nb::none(), "The value of a header, or `default`.")
        .def("__contains__", [](const HeaderMap& h, nb::handle key) { return lookup(h, key) != nullptr; })
        .def("__len__", &HeaderMap::size)
        .def(
            "keys",
            [](const HeaderMap& h) {
                nb::list out;
                for (const auto& field : h.fields()) out.append(latin1(field.first));
                return out;
            },
            "The header names as received.")
        .def(
            "values",
            [](const HeaderMap& h) {
                nb::list out;
                for (const auto& field : h.fields()) out.append(latin1(field.second));
                return out;
            },
            "The header values.")
        .def(
            "items",
            [](const HeaderMap& h) {
                nb::list out;
                for (const auto& field : h.fields())
                    out.append(nb::make_tuple(latin1(field.first), latin1(field.second)));
                return out;
            },
            "(name, value) pairs.")
        .def("__iter__", [](nb::handle self) { return nb::iter(self.attr("keys")()); })
        .def("__eq__",
             [](nb::handle self, nb::handle other) -> nb::object {
                 if (!PyMapping_Check(other.ptr()) || PyUnicode_Check(other.ptr()))
                     return nb::borrow(Py_NotImplemented);
                 const HeaderMap& h = nb::cast<const HeaderMap&>(self);
                 if (nb::len(other) != h.size()) return nb::bool_(false);
                 for (nb::handle key : nb::iter(other)) {
                     const std::string* value = lookup(h, key);
                     if (!value || !latin1(*value).equal(other[key])) return nb::bool_(false);
                 }
                 return nb::bool_(true);
             })
        .def("__repr__", [](nb::handle self) {
            return nb::str("{}({!r})")
                .format(nb::str("Headers"),
                        nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(self.attr("items")()));
        });
    cls.attr("__hash__") = nb::none();
    py::sign_methods(cls);
    // _collections_abc is what collections.abc re-exports, and the interpreter has already loaded it.
    nb::module_::import_("_collections_abc").attr("Mapping").attr("register")(cls);
}

}  // namespace korvane::http
