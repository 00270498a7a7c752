// The client core, the entry header for chat/ and admin/: the namespace classes the client builds,
// the seam every call goes through (seam.hpp, with the contract of what may be replaced) and the
// shape checks of decoded answers. Nothing here knows chat or administration.
#pragma once
#include <nanobind/nanobind.h>

#include "api/client/answer_shape.hpp"
#include "api/client/request_context.hpp"
#include "api/client/seam.hpp"

namespace korvane::api {

namespace nb = nanobind;

// Python classes, set when the module is bound (by chat/ and admin/ for theirs); the client builds one
// of each namespace class per instance. Strong references kept for the process, as the classes are.
struct Classes {
    nb::handle client, chat, chat_completions, tenant_manager, feedback_manager, training_manager;
};
Classes& classes();

// A namespace class whose constructor stores the client as `_client`.
nb::object make_namespace_class(const char* module, const char* name, const char* doc,
                                const char* init_doc = "Store the owning client.");

// read(): the answer of `call` into its result, with the request named on the error when reading
// fails (add_reading_context), as errors raised while sending it are.
template <typename Read>
auto read_answer(nb::handle client, const Call& call, Read&& read) {
    try {
        return read();
    } catch (nb::python_error& failure) {
        add_reading_context(failure, client, nb::str(call.method), call.path);
        throw;
    }
}

// KorvaneClient, bound after the namespace classes it builds.
void bind_client(nb::module_& m);
void bind_requests(nb::module_& m, nb::handle client_class);  // its request methods (methods.cpp)
void bind_awaited(nb::module_& m);  // the shared steps as the awaited driver calls them (awaited.cpp)

}  // namespace korvane::api
