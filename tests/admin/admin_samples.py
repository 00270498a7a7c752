"""Answer objects as the platform sends them, one per record kind."""

TENANT = {
    "id": "ten-1",
    "name": "Acme",
    "slug": "acme",
    "plan": "pro",
    "is_active": True,
    "created_at": "2025-03-01T00:00:00",
    "updated_at": None,
    "monthly_tokens_limit": 1000000,
    "monthly_tokens_used": 42,
    "monthly_requests_limit": None,
    "monthly_requests_used": 7,
    "features": ["sso"],
    "metadata": {"region": "eu"},
}
FEEDBACK = {
    "id": "fb-1",
    "tenant_id": "ten-1",
    "request_id": "req-1",
    "rating": 1,
    "comment": "good",
    "tags": ["helpful"],
    "created_at": "2025-03-01T12:30:00",
    "model": "m-1",
}
FEEDBACK_STATS = {
    "total_count": 10,
    "positive_count": 6,
    "negative_count": 1,
    "neutral_count": 3,
    "positive_rate": 0.6,
    "tags_distribution": {"helpful": 4},
}
JOB = {
    "id": "job-1",
    "tenant_id": "ten-1",
    "status": "running",
    "training_type": "sft",
    "base_model": "meta-llama/Llama-3.1-8B-Instruct",
    "progress": 0.25,
    "current_step": 5,
    "total_steps": 20,
    "created_at": "2025-03-01T00:00:00",
    "unknown_member": "ignored",
}
DATASET = {
    "id": "ds-1",
    "tenant_id": "ten-1",
    "name": "support",
    "num_examples": 12,
    "size_bytes": 2048,
    "dataset_type": "sft",
    "created_at": "2025-03-01T00:00:00",
}

# Record class name and a sample answer, per answer record.
ANSWERS = {
    "Tenant": TENANT,
    "Feedback": FEEDBACK,
    "FeedbackStats": FEEDBACK_STATS,
    "TrainingJob": JOB,
    "Dataset": DATASET,
}
