// The chat namespace: Chat and ChatCompletions (create, whole and streamed completions).
#include "api/chat/chat.hpp"
#include "api/chat/completions.hpp"
#include "api/client/blocking.hpp"
#include "api/client/client.hpp"
#include "api/engine/awaitable.hpp"
#include "api/engine/engine.hpp"
#include "py/arguments.hpp"
#include "py/checks.hpp"
#include "py/types.hpp"

namespace korvane::api {
namespace {

nb::handle intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (!name) throw nb::python_error();
    return name;  // kept for the life of the process
}

constexpr const char* kCreateDoc =
    "Create a chat completion.\n\n"
    "Args:\n"
    "    model: Model ID to use\n"
    "    messages: List of messages in the conversation\n"
    "    temperature: Sampling temperature (0-2)\n"
    "    max_tokens: Maximum tokens to generate\n"
    "    stream: Whether to stream the response\n"
    "    n: Number of completions to generate\n"
    "    stop: Stop sequences\n"
    "    presence_penalty: Presence penalty (-2 to 2)\n"
    "    frequency_penalty: Frequency penalty (-2 to 2)\n"
    "    top_p: Top-p sampling (0-1)\n"
    "    rerank_tier: Reranking tier ('classic', 'quantum_cpu', 'quantum_gpu')\n"
    "    rerank_k: Number of candidates to rerank\n"
    "    tenant_id: Tenant ID for multi-tenant mode\n"
    "    **kwargs: Additional parameters\n\n"
    "Returns:\n"
    "    ChatCompletion or generator of ChatCompletionChunk if streaming";

// create(model, messages, temperature=0.7, max_tokens=None, stream=False, n=1, stop=None,
//        presence_penalty=0.0, frequency_penalty=0.0, top_p=1.0, rerank_tier=None, rerank_k=None,
//        tenant_id=None, **kwargs)
nb::object create(nb::handle self, nb::args args, nb::kwargs kwargs) {
    py::Arguments parsed("ChatCompletions.create", kCreateParameters.data(), kCreateParameterCount, kCreateRequired,
                         args.ptr(), kwargs.ptr(), /*accept_extra=*/true);
    nb::dict payload = build_chat_payload(parsed);
    const bool stream = parsed.has(kStream) && py::truthy(parsed[kStream]);
    return nb::getattr(self, stream ? "_stream_completion" : "_create_completion")(payload);
}

// The whole (not streamed) completion as one call of the call engine.
engine::WholeCall completion_call(nb::handle completions, Driver driver, nb::handle payload) {
    Call call{"POST", nb::str("/v1/chat/completions")};
    call.json = nb::borrow(payload);
    return engine::WholeCall(nb::getattr(completions, "_client"), driver, std::move(call),
                             [payload = nb::borrow(payload)](nb::handle answer) {
                                 return completion_from_answer(answer, payload);
                             });
}

nb::object create_completion(nb::handle self, nb::handle payload) {
    engine::WholeCall call = completion_call(self, Driver::blocking, payload);
    return blocking::drive(call);
}

}  // namespace

const ChatNames& chat_names() {
    static const ChatNames names{
        intern("model"),
        intern("messages"),
        intern("temperature"),
        intern("stream"),
        intern("n"),
        intern("max_tokens"),
        intern("stop"),
        intern("presence_penalty"),
        intern("frequency_penalty"),
        intern("top_p"),
        intern("rerank_tier"),
        intern("rerank_k"),
        intern("tenant_id"),
        intern("id"),
        intern("object"),
        intern("created"),
        intern("choices"),
        intern("usage"),
        intern("quantum_enhanced"),
        intern("index"),
        intern("message"),
        intern("finish_reason"),
        intern("role"),
        intern("content"),
        intern(""),
        intern("chat.completion"),
        intern("chat.completion.chunk"),
        intern("assistant"),
    };
    return names;
}

void bind_chat(nb::module_& m) {
    chat_names();
    bind_chat_stream(m);
    nb::object completions = make_namespace_class("korvane_sdk.chat", "ChatCompletions", "Chat completions API.");
    py::add_method(completions, "create", &create,
                   nb::sig("def create(self, model: str, messages: Iterable[Mapping[str, Any] | ChatMessage], "
                           "temperature: float | None = 0.7, max_tokens: int | None = None, stream: bool = False, "
                           "n: int = 1, stop: str | Sequence[str] | None = None, presence_penalty: float | None = 0.0, "
                           "frequency_penalty: float | None = 0.0, top_p: float | None = 1.0, "
                           "rerank_tier: str | None = None, rerank_k: int | None = None, tenant_id: str | None = None, "
                           "**kwargs: Any) -> ChatCompletion | ChatCompletionStream"),
                   kCreateDoc);
    py::add_method(completions, "_create_completion", &create_completion, nb::arg("payload"),
                   "Make a non-streaming completion request.");
    py::add_method(
        completions, "_stream_completion",
        [](nb::handle self, nb::handle payload) { return make_chat_stream(self, payload); }, nb::arg("payload"),
        "Make a streaming completion request.");

    nb::object chat = py::make_class("korvane_sdk.chat", "Chat", "Chat API namespace.");
    py::add_method(
        chat, "__init__",
        [](nb::handle self, nb::handle client) {
            nb::setattr(self, "completions", classes().chat_completions(client));
        },
        nb::arg("client"), "Build the completions API for the client.");
    // The asyncio client's twin of _create_completion (the awaitable of the same call), put on its
    // completions class by the aio module.
    m.def(
        "_add_awaited_completion",
        [](nb::handle cls) {
            py::add_method(
                cls, "_create_completion",
                [](nb::handle self, nb::handle payload) {
                    return engine::make_awaitable(completion_call(self, Driver::awaited, payload));
                },
                nb::arg("payload"), "Make a non-streaming completion request.");
        },
        nb::arg("cls"), "Gives the asyncio client's completions class its awaited _create_completion.");
    m.attr("ChatCompletions") = completions;
    m.attr("Chat") = chat;
    classes().chat_completions = completions.release();
    classes().chat = chat.release();
}

}  // namespace korvane::api
