"""Minimal records with the fields, defaults and bounds the administration code relies on; used only
until the record engine provides the real ones."""

import datetime

REQUIRED = object()


def _record(name, fields, bounds=None):
    bounds = bounds or {}

    def __init__(self, **values):
        for field, default in fields.items():
            if field in values:
                value = values[field]
            elif default is REQUIRED:
                raise ValueError(f"{name}.{field}: field required")
            else:
                value = default() if callable(default) else default
            check = bounds.get(field)
            if check and not check(value):
                raise ValueError(f"{name}.{field}: out of bounds")
            if field.endswith("_at") and isinstance(value, str):
                value = datetime.datetime.fromisoformat(value)
            setattr(self, field, value)

    def model_dump(self, exclude_none=False):
        dumped = {field: getattr(self, field) for field in fields}
        return {k: v for k, v in dumped.items() if not (exclude_none and v is None)}

    return type(name, (), {"__init__": __init__, "model_dump": model_dump, "__module__": "korvane_sdk.models"})


def _length(value):
    return isinstance(value, str) and 1 <= len(value) <= 255


def _between(low, high):
    return lambda value: isinstance(value, int) and low <= value <= high


STAND_INS = {
    "Tenant": _record("Tenant", {
        "id": REQUIRED, "name": REQUIRED, "slug": REQUIRED, "plan": "free", "is_active": True,
        "created_at": REQUIRED, "updated_at": None, "monthly_tokens_limit": None, "monthly_tokens_used": 0,
        "monthly_requests_limit": None, "monthly_requests_used": 0, "features": list, "metadata": dict}),
    "TenantCreate": _record("TenantCreate", {"name": REQUIRED, "slug": None, "plan": "free", "metadata": dict},
                            {"name": _length}),
    "TenantUpdate": _record("TenantUpdate", {"name": None, "plan": None, "is_active": None, "metadata": None}),
    "Feedback": _record("Feedback", {
        "id": REQUIRED, "tenant_id": REQUIRED, "request_id": REQUIRED, "rating": REQUIRED, "comment": None,
        "tags": list, "created_at": REQUIRED, "prompt": None, "response": None, "model": None},
        {"rating": _between(-1, 1)}),
    "FeedbackCreate": _record("FeedbackCreate", {
        "request_id": REQUIRED, "rating": REQUIRED, "comment": None, "tags": list, "prompt": None,
        "response": None}, {"rating": _between(-1, 1)}),
    "FeedbackStats": _record("FeedbackStats", {
        "total_count": REQUIRED, "positive_count": REQUIRED, "negative_count": REQUIRED,
        "neutral_count": REQUIRED, "positive_rate": REQUIRED, "tags_distribution": dict}),
    "TrainingJob": _record("TrainingJob", {
        "id": REQUIRED, "tenant_id": REQUIRED, "status": REQUIRED, "training_type": REQUIRED,
        "base_model": REQUIRED, "config": dict, "progress": 0.0, "current_step": 0, "total_steps": 0,
        "current_epoch": 0, "total_epochs": 0, "metrics": dict, "created_at": REQUIRED, "started_at": None,
        "completed_at": None, "output_model_id": None, "error_message": None}),
    "TrainingJobCreate": _record("TrainingJobCreate", {
        "training_type": REQUIRED, "base_model": "meta-llama/Llama-3.1-8B-Instruct", "dataset_id": None,
        "config": dict, "num_gpus": 8, "priority": "normal"}, {"num_gpus": _between(1, 64)}),
    "Dataset": _record("Dataset", {
        "id": REQUIRED, "tenant_id": REQUIRED, "name": REQUIRED, "description": None, "num_examples": 0,
        "size_bytes": 0, "dataset_type": REQUIRED, "status": "ready", "created_at": REQUIRED,
        "updated_at": None}),
    "DatasetCreate": _record("DatasetCreate", {"name": REQUIRED, "description": None, "dataset_type": "sft"},
                             {"name": _length}),
}
