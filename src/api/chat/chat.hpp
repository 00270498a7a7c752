// The chat namespace, the entry header of chat/: Chat, ChatCompletions and the stream type they return.
// Built on the client core (api/client/client.hpp); the pieces its files share are in completions.hpp.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api {

// Adds Chat, ChatCompletions and ChatCompletionStream to the module and to the client's registry.
void bind_chat(nanobind::module_& m);

}  // namespace korvane::api
