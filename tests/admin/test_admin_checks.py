"""Argument checks that run before anything is sent: the caller gets the error and no request leaves."""

import pytest

from korvane_sdk.exceptions import InvalidRequestError, TrainingError
from korvane_sdk.models import ValidationError


@pytest.mark.parametrize("rating", [2, -2, "1", None, 0.5])
def test_feedback_rating_outside_the_three_values(client, recorder, rating):
    with pytest.raises(InvalidRequestError) as raised:
        client.feedback.create("r1", rating, tenant_id="ten")
    assert str(raised.value) == "Rating must be -1, 0, or 1 [INVALID_REQUEST] (HTTP 400)"
    assert recorder.calls == []


@pytest.mark.parametrize("training_type", ["SFT", "rlhf", "", None, " sft"])
def test_training_type_outside_the_three_values(client, recorder, training_type):
    with pytest.raises(TrainingError) as raised:
        # num_gpus is out of bounds too: the type check comes first
        client.training.create(training_type, num_gpus=0)
    error = raised.value
    assert type(error) is TrainingError and error.http_status is None
    assert str(error) == f"Invalid training type: {training_type} [TRAINING_ERROR]"
    assert recorder.calls == []


@pytest.mark.parametrize("namespace, operation, args, kwargs", [
    ("tenants", "create", ("",), {}),
    ("tenants", "create", ("x" * 256,), {}),
    ("tenants", "create", ("Acme",), {"metadata": ["not", "a", "mapping"]}),
    ("tenants", "update", ("t1",), {"is_active": "perhaps"}),
    ("feedback", "create", ("r1", 1), {"tags": [["nested"]]}),
    ("feedback", "create", (None, 1), {}),
    ("training", "create", ("sft",), {"num_gpus": 0}),
    ("training", "create", ("dpo",), {"num_gpus": 65}),
    ("training", "create", ("lora",), {"num_gpus": 2.5}),
    ("training", "create_dataset", ("",), {}),
    ("training", "create_dataset", ("x" * 256,), {}),
])
def test_invalid_request_records_send_nothing(client, recorder, namespace, operation, args, kwargs):
    with pytest.raises(ValidationError):
        getattr(getattr(client, namespace), operation)(*args, **kwargs)
    assert recorder.calls == []


@pytest.mark.parametrize("operation, kwargs", [
    ("list", {"start_date": 20250301}),
    ("stats", {"end_date": b"2025-03-01"}),
])
def test_date_filters_must_be_date_times_or_texts(client, recorder, operation, kwargs):
    with pytest.raises(TypeError, match="_date must be a datetime or an ISO 8601 text"):
        getattr(client.feedback, operation)(**kwargs)
    assert recorder.calls == []


def test_tags_must_be_texts(client, recorder):
    with pytest.raises(TypeError):
        client.feedback.list(tags=["a", 2])
    assert recorder.calls == []
