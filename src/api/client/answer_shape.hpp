// Checks on the shape of decoded answers, so an unexpected answer is a clear KorvaneError.
#pragma once
#include <nanobind/nanobind.h>

#include <functional>
#include <string_view>

namespace korvane::api {

namespace nb = nanobind;

// The answer as a dict, or KorvaneError(UNEXPECTED_RESPONSE) naming `what` and the type that came.
nb::dict expect_object(nb::handle answer, std::string_view what);

// The list held by a list answer: the answer itself when it is a list, else its `member` (absent:
// an empty list). Anything else is a KorvaneError(UNEXPECTED_RESPONSE).
nb::list expect_list(nb::handle answer, const char* member, std::string_view what);

// Builds one record of `cls` per element of `items`, each element a JSON object.
nb::list records_from(nb::handle cls, nb::handle items, std::string_view what);

// read(), the step that makes a call's result from its answer, with the call named on what it
// raises (add_reading_context: an answer of a shape the call cannot use, a record that does not fit);
// `client` None leaves the error as it is. The binding-side twin of read_answer() in client.hpp.
nb::object read_answer_of(nb::handle client, const char* method, nb::handle path,
                          const std::function<nb::object()>& read);

}  // namespace korvane::api
