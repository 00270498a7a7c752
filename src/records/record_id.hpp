// The list of records, written once: the id enum, the class names and the record table
// (schema_table.cpp) are all made from it, so the rest of the core names a record by an id the
// compiler knows instead of a text looked up at run time.
#pragma once
#include <cstddef>

namespace korvane::records {

// X(Name, "documentation line"): one entry per class of korvane_sdk.models, in the order the module
// lists them. Each entry needs its fields as `constexpr FieldDecl kName[]` in schema_table.cpp (the
// build fails without them) and its class in models.pyi (tests/core/test_signatures.py fails
// without it); korvane_sdk.models takes the names from here (_core._record_names).
#define KORVANE_RECORDS(X)                                     \
    X(ChatMessage, "A single chat message.")                   \
    X(ChatCompletionChoice, "A single completion choice.")     \
    X(ChatCompletionUsage, "Token usage statistics.")          \
    X(ChatCompletion, "Chat completion response.")             \
    X(ChatCompletionChunk, "Streaming chat completion chunk.") \
    X(ModelInfo, "Available model information.")               \
    X(RerankTier, "Reranking tier information.")               \
    X(RerankResult, "Reranking result metadata.")              \
    X(Tenant, "Tenant (organization) information.")            \
    X(TenantCreate, "Request to create a tenant.")             \
    X(TenantUpdate, "Request to update a tenant.")             \
    X(Feedback, "User feedback on a response.")                \
    X(FeedbackCreate, "Request to create feedback.")           \
    X(FeedbackStats, "Feedback statistics.")                   \
    X(TrainingJob, "Training job information.")                \
    X(TrainingJobCreate, "Request to create a training job.")  \
    X(TrainingJobCancel, "Request to cancel a training job.")  \
    X(Dataset, "Training dataset.")                            \
    X(DatasetCreate, "Request to create a dataset.")

// One id per record, in the list's order.
enum class Record {
#define KORVANE_RECORD_ID(name, doc) name,
    KORVANE_RECORDS(KORVANE_RECORD_ID)
#undef KORVANE_RECORD_ID
};

inline constexpr const char* kRecordNames[] = {
#define KORVANE_RECORD_NAME(name, doc) #name,
    KORVANE_RECORDS(KORVANE_RECORD_NAME)
#undef KORVANE_RECORD_NAME
};

// The class name of record `id` in korvane_sdk.models.
constexpr const char* record_name(Record id) { return kRecordNames[static_cast<size_t>(id)]; }

}  // namespace korvane::records
