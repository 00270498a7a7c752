// Pickling of clients: a client travels as its configuration, never with its session or connections.
#include "api/client/client.hpp"
#include "py/types.hpp"

namespace korvane::api {
namespace {

// What a client is made from, in constructor order: the constructor's parameters. A setting added
// to the constructor is added here too (tests/core/test_client_pickle.py compares the two).
constexpr const char* kConfiguration[] = {"api_key",     "api_url",        "proxy_url",     "timeout",
                                          "max_retries", "verify_ssl",     "retry_on_busy", "backoff_base",
                                          "backoff_max", "retry_after_max"};

// (functools.partial(type(self), **configuration), (), configuration): unpickling constructs a new
// client of the same class, with a session of its own, then sets the settings as they stood here,
// so the receiving process's environment is not read again for them. The asyncio client's
// connection cap (`max_connections`) travels as a constructor keyword too.
nb::object reduce(nb::handle self) {
    nb::dict configuration;
    nb::dict arguments;
    for (const char* name : kConfiguration) {
        nb::object value = nb::getattr(self, name);
        configuration[name] = value;
        arguments[name] = value;
    }
    // The hooks, default headers and query travel as constructor keywords, as plain values (the
    // client holds them read-only); the hooks themselves pickle as the references they are.
    nb::dict extras = nb::cast<nb::dict>(nb::module_::import_("korvane_sdk._hooks").attr("portable")(self));
    for (auto [name, value] : extras) arguments[name] = value;
    nb::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
    // Asked of the class: a plain attribute of that name set on a blocking client is not a setting.
    if (nb::hasattr(cls, "max_connections")) arguments["max_connections"] = nb::getattr(self, "max_connections");
    nb::object partial = nb::module_::import_("functools").attr("partial");
    PyObject* maker = PyObject_Call(partial.ptr(), nb::make_tuple(cls).ptr(), arguments.ptr());
    if (!maker) throw nb::python_error();
    return nb::make_tuple(nb::steal(maker), nb::tuple(), configuration);
}

}  // namespace

void bind_pickling(nb::handle client_class) {
    py::add_method(client_class, "__reduce__", &reduce,
                   "Pickle support: the client's configuration, API key included, and nothing of its\n"
                   "session or connections; the copy opens connections of its own.");
}

}  // namespace korvane::api
