// Pieces of the chat API shared by its files: member names, payload, answers, the stream type.
#pragma once
#include <nanobind/nanobind.h>

#include "util/arguments.hpp"

namespace korvane::api {

namespace nb = nanobind;

// Interned texts used on every call; created once and kept for the life of the process.
struct ChatNames {
    // request members, in payload order
    nb::handle model, messages, temperature, stream, n, max_tokens, stop, presence_penalty, frequency_penalty,
        top_p, rerank_tier, rerank_k, tenant_id;
    // answer members
    nb::handle id, object, created, choices, usage, quantum_enhanced, index, message, finish_reason, role,
        content;
    // default values
    nb::handle empty, chat_completion, chat_completion_chunk, assistant;
};
const ChatNames& chat_names();

// The parameters of ChatCompletions.create, in their order.
inline constexpr const char* kCreateParameters[] = {
    "model", "messages", "temperature", "max_tokens", "stream", "n", "stop", "presence_penalty",
    "frequency_penalty", "top_p", "rerank_tier", "rerank_k", "tenant_id"};
inline constexpr size_t kCreateParameterCount = sizeof(kCreateParameters) / sizeof(kCreateParameters[0]);
inline constexpr size_t kCreateRequired = 2;

// The request body of create(): messages normalised, members under their presence rules, extra
// keyword arguments last. Raises (InvalidRequestError, TypeError) before anything is sent.
nb::dict build_chat_payload(const util::Arguments& args);

// `object[key]` when the member is present (even when null), else `fallback`.
nb::object member_or(nb::handle object, nb::handle key, nb::handle fallback);

// The ChatCompletion record for the answer to `payload`.
nb::object completion_from_answer(nb::handle answer, nb::handle payload);

// A ChatCompletionChunk of class `cls` from the decoded object of one data line (a dict, which
// receives the defaults of absent members).
nb::object chunk_from_object(nb::handle cls, nb::handle object);

// A new stream generator that sends `payload` through `completions._client` on its first pull.
nb::object make_chat_stream(nb::handle completions, nb::handle payload);
void bind_chat_stream(nb::module_& m);

}  // namespace korvane::api
