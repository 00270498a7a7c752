// What a client adds to each attempt (hooks, default headers and query, a rotating API key): the
// engine's one call into korvane_sdk._hooks, made only when the client has something to add.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api::engine::hooks {

namespace nb = nanobind;

// client._call_extras when the client has hooks, defaults or a rotating key; else an invalid object,
// so a call without any costs this one attribute lookup and a pointer check per attempt.
nb::object extras_of(nb::handle client);

// One attempt through korvane_sdk._hooks.attempt: `keywords` are client._session.request's for this
// attempt (the dict is the attempt's own: the extras change its headers and query). Gives the
// response, or for an asyncio client the coroutine that gives it (the awaited driver awaits it).
nb::object send(nb::handle extras, nb::handle client, long attempt, nb::dict keywords);

}  // namespace korvane::api::engine::hooks
