// KorvaneClient: configuration from arguments, environment and class constants; owns the session.
#include "api/client/client.hpp"
#include "api/client/lifetime.hpp"
#include "py/raise.hpp"
#include "py/types.hpp"

namespace korvane::api {
namespace {

nb::handle g_session_class;

bool non_empty_text(nb::handle value) { return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0; }

// os.environ.get(name): read at each construction, so changes made by the program count.
nb::object environment(const char* name) {
    nb::object environ = nb::module_::import_("os").attr("environ");
    return environ.attr("get")(name);
}

// The first non-empty text among argument, environment variable and class constant,
// with every trailing "/" removed.
nb::object base_url(nb::handle self, nb::handle argument, const char* variable, const char* constant) {
    nb::object value = nb::borrow(argument);
    if (!non_empty_text(value)) value = environment(variable);
    if (!non_empty_text(value)) value = nb::getattr(self, constant);
    if (PyUnicode_Check(value.ptr())) value = value.attr("rstrip")("/");
    return value;
}

}  // namespace

void configure(nb::handle self, nb::handle api_key, nb::handle api_url, nb::handle proxy_url, nb::handle timeout,
               nb::handle max_retries, nb::handle verify_ssl, nb::handle retry_on_busy, nb::handle backoff_base,
               nb::handle backoff_max, nb::handle retry_after_max, nb::handle hooks, nb::handle default_headers,
               nb::handle default_query, Driver driver) {
    // A callable key (asked once per attempt) is kept as given; korvane_sdk._hooks checks the rest.
    const bool key_given = non_empty_text(api_key) ||
                           (!PyUnicode_Check(api_key.ptr()) && PyCallable_Check(api_key.ptr()));
    nb::object key = key_given ? nb::borrow(api_key) : environment("KORVANE_API_KEY");
    nb::module_::import_("korvane_sdk._hooks")
        .attr("configure")(self, key, hooks, default_headers, default_query, driver == Driver::awaited);
    nb::setattr(self, "api_key", key);
    nb::setattr(self, "api_url", base_url(self, api_url, "KORVANE_API_URL", "DEFAULT_API_URL"));
    nb::setattr(self, "proxy_url", base_url(self, proxy_url, "KORVANE_PROXY_URL", "DEFAULT_PROXY_URL"));
    nb::setattr(self, "timeout", timeout);
    nb::setattr(self, "max_retries", max_retries);
    nb::setattr(self, "verify_ssl", verify_ssl);
    nb::setattr(self, "retry_on_busy", retry_on_busy);
    nb::setattr(self, "backoff_base", backoff_base);
    nb::setattr(self, "backoff_max", backoff_max);
    nb::setattr(self, "retry_after_max", retry_after_max);
}

namespace {

void init(nb::handle self, nb::handle api_key, nb::handle api_url, nb::handle proxy_url, nb::handle timeout,
          nb::handle max_retries, nb::handle verify_ssl, nb::handle retry_on_busy, nb::handle backoff_base,
          nb::handle backoff_max, nb::handle retry_after_max, nb::handle hooks, nb::handle default_headers,
          nb::handle default_query) {
    configure(self, api_key, api_url, proxy_url, timeout, max_retries, verify_ssl, retry_on_busy, backoff_base,
              backoff_max, retry_after_max, hooks, default_headers, default_query, Driver::blocking);
    Classes& c = classes();
    nb::setattr(self, "chat", c.chat(self));
    nb::setattr(self, "tenants", c.tenant_manager(self));
    nb::setattr(self, "feedback", c.feedback_manager(self));
    nb::setattr(self, "training", c.training_manager(self));
    nb::object session = g_session_class();
    nb::setattr(session, "verify", verify_ssl);
    adopt_session(self, session);
    link_namespaces(self);
}

// The settings with_options() copies and may change, in constructor order.
constexpr const char* kSettings[] = {"api_key",    "api_url",         "proxy_url",    "timeout",     "max_retries",
                                     "verify_ssl", "retry_on_busy",   "backoff_base", "backoff_max", "retry_after_max",
                                     "hooks",      "default_headers", "default_query"};

// A new client of the same class, configured like `self` but for `changes`: the changed settings
// go through the constructor's rules (environment fallback, trailing slashes), the others are
// copied as they stand (the environment is not read again for them). It shares this client's session
// (its connections) unless verify_ssl changes or this client closed or replaced its session; then it
// has its own, with the same TLS and body-size settings. Closing one leaves the other open.
nb::object with_options(nb::handle self, nb::kwargs changes) {
    for (auto [key, value] : changes) {
        bool known = false;
        for (const char* name : kSettings) {
            known = known || (PyUnicode_Check(key.ptr()) && PyUnicode_CompareWithASCIIString(key.ptr(), name) == 0);
        }
        if (!known) {
            py::raise(PyExc_TypeError, "with_options() got an unexpected keyword argument '%U'", key.ptr());
        }
    }
    nb::dict arguments;
    for (const char* name : kSettings) {
        arguments[name] = changes.contains(name) ? nb::object(changes[name]) : nb::getattr(self, name);
    }
    nb::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
    PyObject* made = PyObject_Call(cls.ptr(), nb::tuple().ptr(), arguments.ptr());
    if (!made) throw nb::python_error();
    nb::object copy = nb::steal(made);
    for (const char* name : kSettings) {
        if (!changes.contains(name)) nb::setattr(copy, name, nb::getattr(self, name));
    }
    if (!changes.contains("verify_ssl") && share_session(self, copy)) return copy;
    nb::object own = nb::getattr(self, "_session", nb::none());
    nb::object theirs = nb::getattr(copy, "_session", nb::none());
    if (!own.is_none() && !theirs.is_none()) {
        if (!changes.contains("verify_ssl") && nb::hasattr(own, "verify")) {
            nb::setattr(theirs, "verify", nb::getattr(own, "verify"));
        }
        if (nb::hasattr(own, "max_body_size")) nb::setattr(theirs, "max_body_size", nb::getattr(own, "max_body_size"));
    }
    return copy;
}

// Shows where the client talks to; the API key is never part of it.
nb::str repr(nb::handle self) {
    return nb::str("{}(api_url={!r}, proxy_url={!r})")
        .format(nb::getattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))), "__name__"),
                nb::getattr(self, "api_url", nb::none()), nb::getattr(self, "proxy_url", nb::none()));
}

constexpr const char* kInitDoc =
    "Initialize the client.\n\n"
    "Args:\n"
    "    api_key: API key for authentication\n"
    "    api_url: Base URL for Korvane API\n"
    "    proxy_url: Base URL for Korvane Proxy (chat completions)\n"
    "    timeout: Request timeout in seconds\n"
    "    max_retries: Maximum number of retries\n"
    "    verify_ssl: Whether to verify SSL certificates\n"
    "    retry_on_busy: Also repeat answers 408, 409, 429 and 5xx, after a pause\n"
    "    backoff_base: First backoff ceiling in seconds (doubled per repeat)\n"
    "    backoff_max: Largest backoff ceiling in seconds\n"
    "    retry_after_max: Longest Retry-After honoured, in seconds\n"
    "    hooks: {\"request\": [fn, ...], \"response\": [fn, ...]}: each attempt's request\n"
    "        (method, url, headers a hook may change, params, attempt) and its answer (status_code,\n"
    "        headers, elapsed, request_id, request) are shown to these callables, streams included.\n"
    "        A hook that raises fails the call with its exception; nothing more is sent.\n"
    "    default_headers: Headers sent with every request; they replace the SDK's Content-Type and\n"
    "        User-Agent, but not the Authorization of an API key\n"
    "    default_query: Query parameters sent with every request; a call's own value wins\n"
    "    (api_key may also be a callable giving the key, asked once per attempt)";

}  // namespace

void bind_raw_response(nb::handle client_class);  // with_raw_response (raw_response.cpp)
void bind_pickling(nb::handle client_class);      // __reduce__: a client pickles as its configuration (pickling.cpp)

void bind_client(nb::module_& m) {
    g_session_class = nb::object(m.attr("Session")).release();  // a strong reference, kept for the process
    nb::object cls = py::make_class("korvane_sdk.client", "KorvaneClient", "Client for the Korvane platform API.");
    nb::setattr(cls, "DEFAULT_API_URL", nb::str("https://api.korvane.ai"));
    nb::setattr(cls, "DEFAULT_PROXY_URL", nb::str("https://proxy.korvane.ai"));
    nb::setattr(cls, "DEFAULT_TIMEOUT", nb::int_(60));

    with_settings_parameters(
        [&](auto&&... parameters) { py::add_method(cls, "__init__", &init, parameters..., kInitDoc); });
    py::add_method(
        cls, "close",
        [](nb::handle self) {
            // A session shared with copies from with_options() closes with the last of them.
            if (leave_session(self)) nb::getattr(self, "_session").attr("close")();
        },
        "Close the client session.");
    py::add_method(
        cls, "__enter__", [](nb::handle self) { return nb::borrow(self); }, "Enter a with block: the client itself.");
    py::add_method(
        cls, "__exit__", [](nb::handle self, nb::handle, nb::handle, nb::handle) { nb::getattr(self, "close")(); },
        nb::arg("exc_type").none(), nb::arg("exc_val").none(), nb::arg("exc_tb").none(),
        "Leave a with block: close the session; exceptions pass on.");
    py::add_method(cls, "__repr__", &repr);
    py::add_method(cls, "with_options", &with_options,
                   nb::sig("def with_options(self, *, api_key: str | None = ..., api_url: str | None = ..., "
                           "proxy_url: str | None = ..., timeout: float = ..., max_retries: int = ..., "
                           "verify_ssl: bool = ..., retry_on_busy: bool = ..., backoff_base: float = ..., "
                           "backoff_max: float = ..., retry_after_max: float = ..., "
                           "hooks: Mapping[str, Sequence[Callable[..., object]]] | None = ..., "
                           "default_headers: Mapping[str, str] | None = ..., "
                           "default_query: Mapping[str, str | int | float] | None = ...) -> KorvaneClient"),
                   "A client configured like this one with the given settings changed. It shares this\n"
                   "client's connections (unless verify_ssl changes); closing one leaves the other open,\n"
                   "and the connections close with the last client that uses them.");
    bind_requests(m, cls);
    bind_lifetime(m, cls);
    bind_pickling(cls);
    bind_raw_response(cls);

    m.attr("KorvaneClient") = cls;
    m.attr("Korvane") = cls;
    classes().client = cls.release();
}

}  // namespace korvane::api
