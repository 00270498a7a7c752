// client.with_raw_response: the property both clients share; the view itself is korvane_sdk._raw's.
#include "api/client/client.hpp"

namespace korvane::api {

void bind_raw_response(nb::handle client_class) {
    nb::object getter = nb::cpp_function(
        [](nb::handle self) { return nb::module_::import_("korvane_sdk._raw").attr("view")(self); },
        nb::name("with_raw_response"), nb::is_method(), nb::sig("def with_raw_response(self) -> object"));
    nb::object property =
        nb::module_::import_("builtins")
            .attr("property")(
                getter, nb::none(), nb::none(),
                "The client's namespaces and operations, each operation giving a RawResponse: the answer's\n"
                "status_code, headers, request_id and elapsed, and parse() for the operation's usual result,\n"
                "e.g. client.with_raw_response.tenants.list().request_id. Each access makes a copy of the\n"
                "client (with_options) that shares its connections.");
    nb::setattr(client_class, "with_raw_response", property);
}

}  // namespace korvane::api
