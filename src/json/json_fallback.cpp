// Interim JSON codec through the interpreter's json module (replaced by the native codec).
#include "json/json.hpp"

namespace korvane::json {

nb::object parse(std::string_view text) {
    nb::object loads = nb::module_::import_("json").attr("loads");
    return loads(nb::str(text.data(), text.size()));
}

void write(nb::handle value, std::string& out) {
    nb::object dumps = nb::module_::import_("json").attr("dumps");
    nb::str text = nb::str(dumps(value, nb::arg("ensure_ascii") = false, nb::arg("allow_nan") = false,
                                 nb::arg("separators") = nb::make_tuple(",", ":")));
    out += text.c_str();
}

}  // namespace korvane::json
