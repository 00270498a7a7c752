// KorvaneClient: configuration from arguments, environment and class constants; owns the session.
#include "api/api.hpp"
#include "util/pytype.hpp"

namespace korvane::api {
namespace {

nb::handle g_session_class;

bool non_empty_text(nb::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

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

void init(nb::handle self, nb::handle api_key, nb::handle api_url, nb::handle proxy_url, nb::handle timeout,
          nb::handle max_retries, nb::handle verify_ssl) {
    nb::setattr(self, "api_key", non_empty_text(api_key) ? nb::borrow(api_key) : environment("KORVANE_API_KEY"));
    nb::setattr(self, "api_url", base_url(self, api_url, "KORVANE_API_URL", "DEFAULT_API_URL"));
    nb::setattr(self, "proxy_url", base_url(self, proxy_url, "KORVANE_PROXY_URL", "DEFAULT_PROXY_URL"));
    nb::setattr(self, "timeout", timeout);
    nb::setattr(self, "max_retries", max_retries);
    nb::setattr(self, "verify_ssl", verify_ssl);
    Classes& c = classes();
    nb::setattr(self, "chat", c.chat(self));
    nb::setattr(self, "tenants", c.tenant_manager(self));
    nb::setattr(self, "feedback", c.feedback_manager(self));
    nb::setattr(self, "training", c.training_manager(self));
    nb::object session = g_session_class();
    nb::setattr(session, "verify", verify_ssl);
    nb::setattr(self, "_session", session);
}

// Shows where the client talks to; the API key is never part of it.
nb::str repr(nb::handle self) {
    return nb::str("{}(api_url={!r}, proxy_url={!r})")
        .format(nb::getattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))), "__name__"),
                nb::getattr(self, "api_url", nb::none()), nb::getattr(self, "proxy_url", nb::none()));
}

}  // namespace

void bind_client(nb::module_& m) {
    g_session_class = nb::object(m.attr("Session")).release();  // a strong reference, kept for the process
    nb::object cls = util::make_class("korvane_sdk.client", "KorvaneClient", "Client for the Korvane platform API.");
    nb::setattr(cls, "DEFAULT_API_URL", nb::str("https://api.korvane.ai"));
    nb::setattr(cls, "DEFAULT_PROXY_URL", nb::str("https://proxy.korvane.ai"));
    nb::setattr(cls, "DEFAULT_TIMEOUT", nb::int_(60));

    util::add_method(cls, "__init__", &init, nb::arg("api_key") = nb::none(), nb::arg("api_url") = nb::none(),
                     nb::arg("proxy_url") = nb::none(), nb::arg("timeout").none() = 60,
                     nb::arg("max_retries").none() = 3, nb::arg("verify_ssl").none() = true,
                     "Initialize the client.\n\n"
                     "Args:\n"
                     "    api_key: API key for authentication\n"
                     "    api_url: Base URL for Korvane API\n"
                     "    proxy_url: Base URL for Korvane Proxy (chat completions)\n"
                     "    timeout: Request timeout in seconds\n"
                     "    max_retries: Maximum number of retries\n"
                     "    verify_ssl: Whether to verify SSL certificates");
    util::add_method(
        cls, "close", [](nb::handle self) { nb::getattr(self, "_session").attr("close")(); },
        "Close the client session.");
    util::add_method(
        cls, "__enter__", [](nb::handle self) { return nb::borrow(self); }, "Enter a with block: the client itself.");
    util::add_method(
        cls, "__exit__",
        [](nb::handle self, nb::handle, nb::handle, nb::handle) { nb::getattr(self, "close")(); },
        nb::arg("exc_type").none(), nb::arg("exc_val").none(), nb::arg("exc_tb").none(),
        "Leave a with block: close the session; exceptions pass on.");
    util::add_method(cls, "__repr__", &repr);
    bind_requests(m, cls);

    m.attr("KorvaneClient") = cls;
    m.attr("Korvane") = cls;
    classes().client = cls.release();
}

}  // namespace korvane::api
