// The record engine and the records of korvane_sdk.models (interim: no records bound yet).
#include "records/records.hpp"

#include <string>

#include "bindings.hpp"

namespace korvane::records {

namespace {
nb::handle g_module;
}

nb::handle record_class(std::string_view name) {
    return g_module.attr(std::string(name).c_str());
}

nb::object from_mapping(nb::handle cls, nb::handle mapping) {
    nb::dict kwargs;
    for (auto [key, value] : nb::borrow<nb::dict>(mapping)) kwargs[key] = value;
    return nb::steal(PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr()));
}

nb::object dump(nb::handle record, bool exclude_none) {
    return record.attr("model_dump")(nb::arg("exclude_none") = exclude_none);
}

void bind(nb::module_& m) { g_module = m; }

}  // namespace korvane::records
