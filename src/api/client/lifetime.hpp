// When a client lets go of its connections: as soon as nothing outside it holds it or its namespaces,
// and, for copies made by with_options(), when the last client sharing a session closes it.
//
// A client and its namespaces point at each other (each namespace keeps the client as `_client`), so
// without help a dropped client would keep its session until the cyclic collector runs. The namespaces
// a client builds therefore hold it weakly (`_client` is a property that reads the reference through):
// dropping the client frees it, its namespaces and its session at once. Should a namespace still be
// held from outside when the client goes (`Korvane().chat` kept on its own), the client's finalizer
// makes every such link strong again, so the namespace keeps working and the pair is left to the
// collector, as before. A namespace built by hand (`TenantManager(client)`) holds its client strongly.
//
// Owner rules: a namespace's `__dict__["_client"]` holds the client (strong) or a weakref to it; the
// client's `__dict__["_namespaces"]` holds its namespaces (strong, the tuple is what the finalizer
// walks); `__dict__["_session_share"]` holds the session it shares and the shared count of its users.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api {

namespace nb = nanobind;

// Gives a namespace class (blocking or awaited) its `_client` property.
void add_client_property(nb::handle cls);

// Makes the namespaces the client just built (chat, chat.completions, tenants, feedback, training,
// whichever hold the client as `_client`) hold it weakly, and remembers them for the finalizer.
void link_namespaces(nb::handle client);

// Makes `session` the client's own session, used by it alone so far.
void adopt_session(nb::handle client, nb::handle session);

// Lets `copy` (made by with_options) use `parent`'s session when the parent still uses it; false when
// it cannot (the parent closed it or replaced it), and the copy keeps its own.
bool share_session(nb::handle parent, nb::handle copy);

// The client stops using its session: true when it was the last user (or the session is not shared
// or was replaced), so the caller closes it.
bool leave_session(nb::handle client);

// The client class's finalizer (__del__); the helpers above are bound for the awaited client in aio.cpp.
void bind_lifetime(nb::module_& m, nb::handle client_class);

}  // namespace korvane::api
