// The engine's call into korvane_sdk._hooks for the attempts of clients that registered extras.
#include "api/engine/hooks.hpp"

namespace korvane::api::engine::hooks {

nb::object extras_of(nb::handle client) {
    nb::object extras = nb::getattr(client, "_call_extras", nb::none());
    return extras.is_none() ? nb::object() : extras;
}

nb::object send(nb::handle extras, nb::handle client, long attempt, nb::dict keywords) {
    // korvane_sdk._hooks.attempt, imported at the first attempt with extras; a strong reference
    // kept for the process, as the module is.
    static PyObject* attempt_function = [] {
        return nb::object(nb::module_::import_("korvane_sdk._hooks").attr("attempt")).release().ptr();
    }();
    PyObject* args[] = {extras.ptr(), client.ptr(), nb::int_(attempt).release().ptr(), keywords.ptr()};
    nb::object attempt_number = nb::steal(args[2]);
    PyObject* result = PyObject_Vectorcall(attempt_function, args, 4, nullptr);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

}  // namespace korvane::api::engine::hooks
