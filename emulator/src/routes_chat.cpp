// The proxy paths: /v1/models and /v1/chat/completions, whole and streamed.
#include <chrono>
#include <memory>

#include "chat_model.hpp"
#include "ids.hpp"
#include "job_progress.hpp"
#include "routes.hpp"

namespace korvane::emulator {
namespace {

constexpr std::int64_t max_choices = 16;
constexpr std::int64_t max_forced_tokens = 1000000;
constexpr std::size_t max_stop_texts = 16;

struct BuiltinModel {
    const char* id;
    const char* name;
    const char* description;
    int context_length;
    double input_cost;
    double output_cost;
    const char* base_model;  // set for custom models
};

constexpr BuiltinModel builtin_models[] = {
    {"korvane-1", "Korvane 1", "General-purpose chat model", 32768, 0.5, 1.5, nullptr},
    {"korvane-1-mini", "Korvane 1 Mini", "Small, fast chat model", 16384, 0.1, 0.3, nullptr},
    {"meta-llama/Llama-3.1-8B-Instruct", "Llama 3.1 8B Instruct", "Open-weights base model for fine-tuning", 131072,
     0.2, 0.2, nullptr},
    {"korvane-1-support", "Korvane 1 Support", "Fine-tuned for customer support", 131072, 0.3, 0.6,
     "meta-llama/Llama-3.1-8B-Instruct"},
};

Json model_json(const std::string& id, const std::string& name, const std::string& description, int context_length,
                double input_cost, double output_cost, const char* base_model) {
    return Json{{"id", id},
                {"object", "model"},
                {"name", name},
                {"description", description},
                {"context_length", context_length},
                {"supports_streaming", true},
                {"supports_functions", false},
                {"supports_vision", false},
                {"input_cost_per_1k", input_cost},
                {"output_cost_per_1k", output_cost},
                {"is_custom", base_model != nullptr},
                {"base_model", base_model ? Json(base_model) : Json(nullptr)}};
}

// Output models of completed training jobs that the caller may use: a
// tenant sees its own and those trained through the global paths.
// Caller holds the store lock.
template <class Fn>
void for_each_trained_model(const Store& store, const Principal& caller, Fn fn) {
    store.jobs.for_each([&](const TrainingJob& job) {
        bool visible = caller.admin || job.tenant_id == caller.tenant_id || job.tenant_id == default_tenant_id;
        if (visible && job_snapshot(job, job_elapsed_seconds(job)).status == "completed") fn(job);
    });
}

bool model_exists(Store& store, const Principal& caller, const std::string& id) {
    for (const auto& m : builtin_models) {
        if (id == m.id) return true;
    }
    auto lock = store.lock();
    bool found = false;
    for_each_trained_model(store, caller,
                           [&](const TrainingJob& job) { found = found || output_model_for(job) == id; });
    return found;
}

void list_models(RequestContext& ctx, Services& services) {
    Json data = Json::array();
    for (const auto& m : builtin_models) {
        data.push_back(
            model_json(m.id, m.name, m.description, m.context_length, m.input_cost, m.output_cost, m.base_model));
    }
    auto lock = services.store.lock();
    for_each_trained_model(services.store, ctx.principal, [&](const TrainingJob& job) {
        data.push_back(model_json(output_model_for(job), "Fine-tuned " + job.base_model + " (" + job.id + ")",
                                  job.training_type + " fine-tune by training job " + job.id, 131072, 0.3, 0.6,
                                  job.base_model.c_str()));
    });
    ctx.send(200, Json{{"object", "list"}, {"data", std::move(data)}});
}

struct ChatRequest {
    std::string model;
    std::string last_user_message;
    std::int64_t prompt_tokens = 0;
    std::int64_t n = 1;
    ReplyLimits limits;
    std::optional<std::string> rerank_tier;
    std::optional<std::string> tenant_id;
    bool stream = false;
    bool include_usage = false;  // stream_options.include_usage: a last chunk carries the usage
};

ChatRequest parse_chat_request(const Json& body) {
    BodyFields f(body);
    ChatRequest out;
    out.model = f.req_string("model");
    const Json* messages = f.raw("messages");
    if (messages == nullptr || !messages->is_array()) throw validation_error("'messages' must be a list of messages");
    for (std::size_t i = 0; i < messages->size(); ++i) {
        const Json& m = (*messages)[i];
        std::string where = "messages[" + std::to_string(i) + "]";
        if (!m.is_object()) throw validation_error("'" + where + "' must be an object");
        BodyFields mf(m);
        auto role = mf.opt_string("role");
        auto content = mf.opt_string("content");
        if (!role) throw validation_error("'" + where + ".role' must be a string");
        if (!content) throw validation_error("'" + where + ".content' must be a string");
        mf.opt_string("name");
        out.prompt_tokens += count_tokens(*content);
        if (*role == "user") out.last_user_message = *content;
    }
    out.n = f.opt_int("n").value_or(1);
    if (out.n < 1 || out.n > max_choices) {
        throw validation_error("'n' must be from 1 to " + std::to_string(max_choices));
    }
    out.limits.max_tokens = f.opt_int("max_tokens");
    if (out.limits.max_tokens && *out.limits.max_tokens < 0)
        throw validation_error("'max_tokens' must not be negative");
    if (const Json* stop = f.raw("stop"); stop != nullptr && !stop->is_null()) {
        if (stop->is_string()) {
            out.limits.stop.push_back(stop->get<std::string>());
        } else if (auto list = f.opt_string_list("stop"); list && list->size() <= max_stop_texts) {
            out.limits.stop = std::move(*list);
        } else {
            throw validation_error("'stop' must be a string or a list of at most 16 strings");
        }
    }
    for (const char* name : {"temperature", "presence_penalty", "frequency_penalty", "top_p"}) f.opt_number(name);
    out.rerank_tier = f.opt_string("rerank_tier");
    if (auto k = f.opt_int("rerank_k"); k && *k < 0) throw validation_error("'rerank_k' must not be negative");
    out.tenant_id = f.opt_string("tenant_id");
    if (const Json* stream = f.raw("stream"); stream != nullptr && !stream->is_null()) {
        if (stream->is_boolean()) {
            out.stream = stream->get<bool>();
        } else if (stream->is_number()) {
            out.stream = stream->get<double>() != 0.0;
        } else {
            throw validation_error("'stream' must be a boolean");
        }
    }
    if (const Json* options = f.raw("stream_options"); options != nullptr && !options->is_null()) {
        if (!options->is_object()) throw validation_error("'stream_options' must be an object");
        if (const auto usage = options->find("include_usage"); usage != options->end() && !usage->is_null()) {
            if (!usage->is_boolean()) throw validation_error("'stream_options.include_usage' must be a boolean");
            out.include_usage = usage->get<bool>();
        }
    }
    out.limits.forced_tokens = f.opt_int("emulator_tokens");
    // Bounded over all choices, so one request cannot make an answer of gigabytes.
    if (out.limits.forced_tokens &&
        (*out.limits.forced_tokens < 0 || *out.limits.forced_tokens > max_forced_tokens / out.n)) {
        throw validation_error("'emulator_tokens' times 'n' must be from 0 to " + std::to_string(max_forced_tokens));
    }
    return out;
}

// The tenant a call is billed to: the caller's own for a tenant key, else
// the body's tenant_id when given. Also counts the call into its usage.
std::optional<std::string> bill_tenant(RequestContext& ctx, Services& services, const ChatRequest& chat,
                                       std::int64_t total_tokens) {
    std::optional<std::string> tenant_id = chat.tenant_id;
    if (!ctx.principal.admin) {
        if (tenant_id && !tenant_id->empty() && *tenant_id != ctx.principal.tenant_id) throw forbidden();
        tenant_id = ctx.principal.tenant_id;
    }
    if (!tenant_id || tenant_id->empty()) return std::nullopt;
    auto lock = services.store.lock();
    Tenant* tenant = services.store.tenants.find(*tenant_id);
    if (tenant == nullptr) throw not_found("Tenant", *tenant_id);
    tenant->monthly_requests_used += 1;
    tenant->monthly_tokens_used += total_tokens;
    return tenant_id;
}

// Everything a streamed answer needs after the handler has returned.
struct StreamState {
    std::vector<Completion> choices;
    std::vector<std::size_t> sent;          // tokens sent per choice
    std::string chunk_head;                 // data: {...,"choices":[{"index":
    std::optional<std::string> usage_line;  // the last line, when the usage was asked for
    std::optional<std::int64_t> drop_after;
    std::size_t choice = 0;  // the choice whose turn it is: choices take turns, a token each
    std::int64_t chunks_sent = 0;
};

std::string chunk_line(const StreamState& s, std::size_t choice, std::string_view delta_json, const char* finish) {
    std::string line = s.chunk_head;
    line += std::to_string(choice);
    line += ",\"delta\":";
    line += delta_json;
    line += ",\"finish_reason\":";
    line += finish;
    line += "}]}\n\n";
    return line;
}

// The next data line of the stream, or nullopt once every choice is done. With several choices
// the chunks interleave (a token of each in turn), as streaming platforms send them.
std::optional<std::string> next_chunk(StreamState& s) {
    for (std::size_t tries = 0; tries < s.choices.size(); ++tries) {
        std::size_t i = s.choice;
        s.choice = (s.choice + 1) % s.choices.size();
        const Completion& c = s.choices[i];
        std::size_t count = c.token_count();
        std::size_t t = s.sent[i];
        if (t >= std::max<std::size_t>(count, 1)) continue;
        ++s.sent[i];
        std::string finish = t + 1 >= count ? dump_json(Json(c.finish_reason())) : "null";
        Json delta = Json::object();
        if (t == 0) delta["role"] = "assistant";
        delta["content"] = count == 0 ? std::string() : (t == 0 ? c.token(t) : " " + c.token(t));
        return chunk_line(s, i, dump_json(delta), finish.c_str());
    }
    if (s.usage_line) {
        std::optional<std::string> last = std::move(s.usage_line);
        s.usage_line.reset();
        return last;
    }
    return std::nullopt;
}

void stream_answer(RequestContext& ctx, Services& services, std::shared_ptr<StreamState> state) {
    ctx.res.status = 200;
    ctx.res.set_header("Cache-Control", "no-cache");
    Shutdown& shutdown = services.shutdown;
    ctx.res.set_chunked_content_provider("text/event-stream",
                                         [state = std::move(state), &shutdown](std::size_t, httplib::DataSink& sink) {
                                             try {
                                                 // Returning false makes httplib drop the connection without the
                                                 // terminating chunk: that is the injected fault, and the way out
                                                 // when the server stops.
                                                 if (shutdown.requested()) return false;
                                                 if (state->drop_after && state->chunks_sent >= *state->drop_after)
                                                     return false;
                                                 if (auto line = next_chunk(*state)) {
                                                     ++state->chunks_sent;
                                                     return sink.write(line->data(), line->size());
                                                 }
                                                 static constexpr std::string_view done_line = "data: [DONE]\n\n";
                                                 if (!sink.write(done_line.data(), done_line.size())) return false;
                                                 sink.done();
                                                 return true;
                                             } catch (...) {
                                                 return false;
                                             }
                                         });
}

Json usage_json(const ChatRequest& chat, std::int64_t completion_tokens) {
    return Json{{"prompt_tokens", chat.prompt_tokens},
                {"completion_tokens", completion_tokens},
                {"total_tokens", chat.prompt_tokens + completion_tokens}};
}

Json rerank_json(const ChatRequest& chat) { return chat.rerank_tier ? Json(*chat.rerank_tier) : Json(nullptr); }

bool quantum(const ChatRequest& chat) {
    return chat.rerank_tier && (*chat.rerank_tier == "quantum_cpu" || *chat.rerank_tier == "quantum_gpu");
}

void create_completion(RequestContext& ctx, Services& services) {
    ChatRequest chat = parse_chat_request(ctx.json_body());
    if (!model_exists(services.store, ctx.principal, chat.model)) {
        throw ApiError(404, "Model '" + chat.model + "' not found", "MODEL_NOT_FOUND");
    }
    std::vector<Completion> choices;
    std::int64_t completion_tokens = 0;
    for (std::int64_t i = 0; i < chat.n; ++i) {
        choices.push_back(complete(chat.last_user_message, static_cast<std::size_t>(i), chat.limits));
        completion_tokens += static_cast<std::int64_t>(choices.back().token_count());
    }
    if (auto refused = services.limits.admit_tokens(caller_name(ctx.principal), chat.prompt_tokens + completion_tokens))
        throw rate_limited(ctx.res, *refused);
    auto tenant_id = bill_tenant(ctx, services, chat, chat.prompt_tokens + completion_tokens);

    std::string id = new_id("chatcmpl-", 24);
    auto created =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    {
        auto lock = services.store.lock();
        services.store.remember_chat(id, ChatRecord{chat.model, tenant_id.value_or("")});
    }

    if (chat.stream) {
        auto state = std::make_shared<StreamState>();
        state->choices = std::move(choices);
        state->sent.assign(state->choices.size(), 0);
        if (chat.include_usage) {
            // As the whole answer reports them, on a last chunk without choices.
            state->usage_line = "data: " +
                                dump_json(Json{{"id", id},
                                               {"object", "chat.completion.chunk"},
                                               {"created", created},
                                               {"model", chat.model},
                                               {"choices", Json::array()},
                                               {"usage", usage_json(chat, completion_tokens)},
                                               {"rerank_tier", rerank_json(chat)},
                                               {"quantum_enhanced", quantum(chat)}}) +
                                "\n\n";
        }
        state->drop_after = services.faults.next_stream_drop();
        state->chunk_head = "data: {\"id\":" + dump_json(Json(id)) +
                            ",\"object\":\"chat.completion.chunk\",\"created\":" + std::to_string(created) +
                            ",\"model\":" + dump_json(Json(chat.model)) + ",\"choices\":[{\"index\":";
        stream_answer(ctx, services, std::move(state));
        return;
    }

    Json answer_choices = Json::array();
    for (std::size_t i = 0; i < choices.size(); ++i) {
        answer_choices.push_back(Json{{"index", i},
                                      {"message", Json{{"role", "assistant"}, {"content", choices[i].text()}}},
                                      {"finish_reason", choices[i].finish_reason()}});
    }
    ctx.send(200, Json{{"id", id},
                       {"object", "chat.completion"},
                       {"created", created},
                       {"model", chat.model},
                       {"choices", std::move(answer_choices)},
                       {"usage", usage_json(chat, completion_tokens)},
                       {"rerank_tier", rerank_json(chat)},
                       {"quantum_enhanced", quantum(chat)}});
}

}  // namespace

void add_chat_routes(Router& router, Services& services) {
    router.add("GET", "/v1/models", Access::any_key, [&services](RequestContext& ctx) { list_models(ctx, services); });
    router.add("POST", "/v1/chat/completions", Access::any_key,
               [&services](RequestContext& ctx) { create_completion(ctx, services); });
}

}  // namespace korvane::emulator
