// Pieces of the chat API shared by its files: member names, create()'s parameters, payload, answers,
// the stream type.
#pragma once
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <iterator>

#include "py/arguments.hpp"

namespace korvane::api {

namespace nb = nanobind;

// Interned texts used on every call; created once and kept for the life of the process.
struct ChatNames {
    // request members, in payload order
    nb::handle model, messages, temperature, stream, n, max_tokens, stop, presence_penalty, frequency_penalty, top_p,
        rerank_tier, rerank_k, tenant_id;
    // answer members
    nb::handle id, object, created, choices, usage, quantum_enhanced, index, message, finish_reason, role, content;
    // default values
    nb::handle empty, chat_completion, chat_completion_chunk, assistant;
};
const ChatNames& chat_names();

// The parameters of ChatCompletions.create, in their order: positions in py::Arguments and their
// names, written once (the check below keeps every name at its position).
enum CreateParameter : size_t {
    kModel,
    kMessages,
    kTemperature,
    kMaxTokens,
    kStream,
    kN,
    kStop,
    kPresencePenalty,
    kFrequencyPenalty,
    kTopP,
    kRerankTier,
    kRerankK,
    kTenantId,
    kCreateParameterCount
};
inline constexpr size_t kCreateRequired = 2;  // model and messages have no default
inline constexpr struct {
    CreateParameter position;
    const char* name;
} kCreateParameterTable[] = {
    {kModel, "model"},
    {kMessages, "messages"},
    {kTemperature, "temperature"},
    {kMaxTokens, "max_tokens"},
    {kStream, "stream"},
    {kN, "n"},
    {kStop, "stop"},
    {kPresencePenalty, "presence_penalty"},
    {kFrequencyPenalty, "frequency_penalty"},
    {kTopP, "top_p"},
    {kRerankTier, "rerank_tier"},
    {kRerankK, "rerank_k"},
    {kTenantId, "tenant_id"},
};
static_assert(std::size(kCreateParameterTable) == kCreateParameterCount);
consteval bool create_table_in_order() {
    for (size_t i = 0; i < kCreateParameterCount; ++i) {
        if (kCreateParameterTable[i].position != i) return false;
    }
    return true;
}
static_assert(create_table_in_order(), "kCreateParameterTable must list the parameters in their order");

// The names alone, as py::Arguments takes them.
inline constexpr auto kCreateParameters = [] {
    std::array<const char*, kCreateParameterCount> names{};
    for (size_t i = 0; i < kCreateParameterCount; ++i) names[i] = kCreateParameterTable[i].name;
    return names;
}();

// The request body of create(): messages normalised, members under their presence rules, extra
// keyword arguments last. Raises (InvalidRequestError, TypeError) before anything is sent.
nb::dict build_chat_payload(const py::Arguments& args);

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
