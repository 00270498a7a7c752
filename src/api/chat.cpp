// The chat namespace: Chat and ChatCompletions.
#include "api/api.hpp"
#include "util/pytype.hpp"

namespace korvane::api {

void bind_chat(nb::module_& m) {
    nb::object completions = make_namespace_class("korvane_sdk.chat", "ChatCompletions", "Chat completions API.");
    nb::object chat = util::make_class("korvane_sdk.chat", "Chat", "Chat API namespace.");
    util::add_method(
        chat, "__init__",
        [](nb::handle self, nb::handle client) {
            nb::setattr(self, "completions", classes().chat_completions(client));
        },
        nb::arg("client"), "Build the completions API for the client.");
    m.attr("ChatCompletions") = completions;
    m.attr("Chat") = chat;
    classes().chat_completions = completions.release();
    classes().chat = chat.release();
}

}  // namespace korvane::api
