// Compiler-checked names for the record classes of the table, so the rest of the core names a record by
// an id the compiler knows instead of a text looked up at run time.
#pragma once
#include <cstddef>

namespace korvane::records {

// One id per record of schema_table.cpp, in its order (a static_assert there keeps the two in step).
enum class Record {
    ChatMessage,
    ChatCompletionChoice,
    ChatCompletionUsage,
    ChatCompletion,
    ChatCompletionChunk,
    ModelInfo,
    RerankTier,
    RerankResult,
    Tenant,
    TenantCreate,
    TenantUpdate,
    Feedback,
    FeedbackCreate,
    FeedbackStats,
    TrainingJob,
    TrainingJobCreate,
    TrainingJobCancel,
    Dataset,
    DatasetCreate,
};

inline constexpr const char* kRecordNames[] = {
    "ChatMessage",       "ChatCompletionChoice", "ChatCompletionUsage",
    "ChatCompletion",    "ChatCompletionChunk",  "ModelInfo",
    "RerankTier",        "RerankResult",         "Tenant",
    "TenantCreate",      "TenantUpdate",         "Feedback",
    "FeedbackCreate",    "FeedbackStats",        "TrainingJob",
    "TrainingJobCreate", "TrainingJobCancel",    "Dataset",
    "DatasetCreate",
};
inline constexpr size_t kRecordCount = sizeof(kRecordNames) / sizeof(kRecordNames[0]);

// The class name of record `id` in korvane_sdk.models.
constexpr const char* record_name(Record id) { return kRecordNames[static_cast<size_t>(id)]; }

}  // namespace korvane::records
