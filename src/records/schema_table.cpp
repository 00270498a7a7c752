// The fields of each record of korvane_sdk.models, in declaration order; the list of records itself
// (names, documentation, order) is KORVANE_RECORDS in record_id.hpp.
#include "records/schema_table.hpp"

#include <array>

#include "records/record_id.hpp"

namespace korvane::records {
namespace {

// Chat and model records.

constexpr FieldDecl kChatMessage[] = {
    {"role", "str", required(), {}, "Role: 'system', 'user', or 'assistant'"},
    {"content", "str", required(), {}, "Message content"},
    {"name", "Optional[str]", null(), {}, "Optional name for the message author"},
};

constexpr FieldDecl kChatCompletionChoice[] = {
    {"index", "int", required()},
    {"message", "ChatMessage", required()},
    {"finish_reason", "Optional[str]", null()},
};

constexpr FieldDecl kChatCompletionUsage[] = {
    {"prompt_tokens", "int", required()},
    {"completion_tokens", "int", required()},
    {"total_tokens", "int", required()},
};

constexpr FieldDecl kChatCompletion[] = {
    {"id", "str", required()},
    {"object", "str", text("chat.completion")},
    {"created", "int", required()},
    {"model", "str", required()},
    {"choices", "List[ChatCompletionChoice]", required()},
    {"usage", "Optional[ChatCompletionUsage]", null()},
    {"rerank_tier", "Optional[str]", null()},
    {"quantum_enhanced", "bool", truth(false)},
};

constexpr FieldDecl kChatCompletionChunk[] = {
    {"id", "str", required()},    {"object", "str", text("chat.completion.chunk")}, {"created", "int", required()},
    {"model", "str", required()}, {"choices", "List[Dict[str, Any]]", required()},
};

constexpr FieldDecl kModelInfo[] = {
    {"id", "str", required()},
    {"name", "str", required()},
    {"description", "Optional[str]", null()},
    {"context_length", "int", integer(4096)},
    {"supports_streaming", "bool", truth(true)},
    {"supports_functions", "bool", truth(false)},
    {"supports_vision", "bool", truth(false)},
    {"input_cost_per_1k", "float", real(0.0)},
    {"output_cost_per_1k", "float", real(0.0)},
    {"is_custom", "bool", truth(false)},
    {"base_model", "Optional[str]", null()},
};

constexpr FieldDecl kRerankTier[] = {
    {"name", "str", required()},
    {"description", "str", required()},
    {"latency_ms", "int", required()},
    {"quality_score", "float", required()},
};

constexpr FieldDecl kRerankResult[] = {
    {"tier_used", "str", required()},    {"candidates_evaluated", "int", required()},
    {"best_index", "int", required()},   {"scores", "List[float]", fresh_list()},
    {"latency_ms", "float", required()}, {"quantum_enhanced", "bool", truth(false)},
};

// Tenant, feedback and training records.

constexpr FieldDecl kTenant[] = {
    {"id", "str", required()},
    {"name", "str", required()},
    {"slug", "str", required()},
    {"plan", "str", text("free")},
    {"is_active", "bool", truth(true)},
    {"created_at", "datetime", required()},
    {"updated_at", "Optional[datetime]", null()},
    {"monthly_tokens_limit", "Optional[int]", null()},
    {"monthly_tokens_used", "int", integer(0)},
    {"monthly_requests_limit", "Optional[int]", null()},
    {"monthly_requests_used", "int", integer(0)},
    {"features", "List[str]", fresh_list()},
    {"metadata", "Dict[str, Any]", fresh_dict()},
};

constexpr FieldDecl kTenantCreate[] = {
    {"name", "str", required(), length(1, 255)},
    {"slug", "Optional[str]", null()},
    {"plan", "str", text("free")},
    {"metadata", "Dict[str, Any]", fresh_dict()},
};

constexpr FieldDecl kTenantUpdate[] = {
    {"name", "Optional[str]", null()},
    {"plan", "Optional[str]", null()},
    {"is_active", "Optional[bool]", null()},
    {"metadata", "Optional[Dict[str, Any]]", null()},
};

constexpr FieldDecl kFeedback[] = {
    {"id", "str", required()},
    {"tenant_id", "str", required()},
    {"request_id", "str", required()},
    {"rating", "int", required(), range(-1, 1), "-1=bad, 0=neutral, 1=good"},
    {"comment", "Optional[str]", null()},
    {"tags", "List[str]", fresh_list()},
    {"created_at", "datetime", required()},
    {"prompt", "Optional[str]", null()},
    {"response", "Optional[str]", null()},
    {"model", "Optional[str]", null()},
};

constexpr FieldDecl kFeedbackCreate[] = {
    {"request_id", "str", required(), {}, "The request ID to provide feedback for"},
    {"rating", "int", required(), range(-1, 1), "-1=bad, 0=neutral, 1=good"},
    {"comment", "Optional[str]", null()},
    {"tags", "List[str]", fresh_list()},
    {"prompt", "Optional[str]", null()},
    {"response", "Optional[str]", null()},
};

constexpr FieldDecl kFeedbackStats[] = {
    {"total_count", "int", required()},     {"positive_count", "int", required()},
    {"negative_count", "int", required()},  {"neutral_count", "int", required()},
    {"positive_rate", "float", required()}, {"tags_distribution", "Dict[str, int]", fresh_dict()},
};

constexpr FieldDecl kTrainingJob[] = {
    {"id", "str", required()},
    {"tenant_id", "str", required()},
    {"status", "str", required(), {}, "Status: 'pending', 'running', 'completed', 'failed', 'cancelled'"},
    {"training_type", "str", required(), {}, "Type: 'sft', 'dpo', 'lora'"},
    {"base_model", "str", required()},
    {"config", "Dict[str, Any]", fresh_dict()},
    {"progress", "float", real(0.0)},
    {"current_step", "int", integer(0)},
    {"total_steps", "int", integer(0)},
    {"current_epoch", "int", integer(0)},
    {"total_epochs", "int", integer(0)},
    {"metrics", "Dict[str, Any]", fresh_dict()},
    {"created_at", "datetime", required()},
    {"started_at", "Optional[datetime]", null()},
    {"completed_at", "Optional[datetime]", null()},
    {"output_model_id", "Optional[str]", null()},
    {"error_message", "Optional[str]", null()},
};

constexpr FieldDecl kTrainingJobCreate[] = {
    {"training_type", "str", required(), {}, "Training type: 'sft', 'dpo', or 'lora'"},
    {"base_model", "str", text("meta-llama/Llama-3.1-8B-Instruct"), {}, "Base model to fine-tune"},
    {"dataset_id", "Optional[str]", null(), {}, "Dataset ID to use (or auto-collect from feedback)"},
    {"config", "Dict[str, Any]", fresh_dict(), {}, "Training configuration overrides"},
    {"num_gpus", "int", integer(8), range(1, 64)},
    {"priority", "str", text("normal"), {}, "Priority: 'low', 'normal', 'high'"},
};

constexpr FieldDecl kTrainingJobCancel[] = {
    {"reason", "Optional[str]", null()},
};

constexpr FieldDecl kDataset[] = {
    {"id", "str", required()},
    {"tenant_id", "str", required()},
    {"name", "str", required()},
    {"description", "Optional[str]", null()},
    {"num_examples", "int", integer(0)},
    {"size_bytes", "int", integer(0)},
    {"dataset_type", "str", required(), {}, "Type: 'sft', 'dpo', 'preference'"},
    {"status", "str", text("ready")},
    {"created_at", "datetime", required()},
    {"updated_at", "Optional[datetime]", null()},
};

constexpr FieldDecl kDatasetCreate[] = {
    {"name", "str", required(), length(1, 255)},
    {"description", "Optional[str]", null()},
    {"dataset_type", "str", text("sft"), {}, "Type: 'sft', 'dpo', 'preference'"},
};

// The table, one RecordDecl per entry of KORVANE_RECORDS: its name, its documentation line and
// the field list `k<Name>` above.
constexpr std::array kRecords = {
#define KORVANE_RECORD_DECL(name, doc) RecordDecl{#name, doc, k##name},
    KORVANE_RECORDS(KORVANE_RECORD_DECL)
#undef KORVANE_RECORD_DECL
};

}  // namespace

std::span<const RecordDecl> record_table() { return kRecords; }

}  // namespace korvane::records
