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


@pytest.mark.parametrize(
    "namespace, operation, args, kwargs",
    [
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
    ],
)
def test_invalid_request_records_send_nothing(client, recorder, namespace, operation, args, kwargs):
    with pytest.raises(ValidationError):
        getattr(getattr(client, namespace), operation)(*args, **kwargs)
    assert recorder.calls == []


@pytest.mark.parametrize(
    "operation, kwargs",
    [
        ("list", {"start_date": 20250301}),
        ("stats", {"end_date": b"2025-03-01"}),
    ],
)
def test_date_filters_must_be_date_times_or_texts(client, recorder, operation, kwargs):
    with pytest.raises(TypeError, match="_date must be a datetime or an ISO 8601 text"):
        getattr(client.feedback, operation)(**kwargs)
    assert recorder.calls == []


def test_tags_must_be_texts(client, recorder):
    with pytest.raises(TypeError):
        client.feedback.list(tags=["a", 2])
    assert recorder.calls == []


class EmptyText:
    def __str__(self):
        return ""


# Each operation whose identifier names the one resource it acts on; an empty one would address
# the collection instead (DELETE /api/v1/feedback/ removes far more than one item).
ONE_RESOURCE = [
    ("tenants", "get", "tenant_id", ()),
    ("tenants", "update", "tenant_id", ()),
    ("tenants", "delete", "tenant_id", ()),
    ("tenants", "get_usage", "tenant_id", ()),
    ("tenants", "regenerate_api_key", "tenant_id", ()),
    ("feedback", "get", "feedback_id", ()),
    ("feedback", "delete", "feedback_id", ()),
    ("training", "get", "job_id", ()),
    ("training", "cancel", "job_id", ()),
    ("training", "get_logs", "job_id", ()),
    ("training", "get_metrics", "job_id", ()),
    ("training", "get_dataset", "dataset_id", ()),
    ("training", "delete_dataset", "dataset_id", ()),
    ("training", "upload_dataset", "dataset_id", ("/no/such/file.jsonl",)),
]


@pytest.mark.parametrize("identifier", ["", EmptyText()], ids=["empty", "empty-text-form"])
@pytest.mark.parametrize(
    "namespace, operation, parameter, rest", ONE_RESOURCE, ids=[f"{c[0]}.{c[1]}" for c in ONE_RESOURCE]
)
def test_empty_identifier_of_one_resource_sends_nothing(
    client, recorder, namespace, operation, parameter, rest, identifier
):
    method = getattr(getattr(client, namespace), operation)
    with pytest.raises(ValueError, match=f"^{parameter} must not be empty"):
        method(identifier, *rest)
    if namespace != "tenants":  # scoped paths refuse it too
        with pytest.raises(ValueError, match=f"^{parameter} must not be empty"):
            method(identifier, *rest, tenant_id="ten")
    assert recorder.calls == []


def test_identifiers_other_than_empty_keep_their_text_form(client, recorder):
    """Only the empty text and dot-segments are refused: a blank, a zero or None still go into the path
    as str() gives them, escaped."""
    recorder.answer = True
    for identifier, path in [
        (" ", "/api/v1/feedback/%20"),
        (b"x", "/api/v1/feedback/b%27x%27"),
        (0, "/api/v1/feedback/0"),
        (None, "/api/v1/feedback/None"),
    ]:
        client.feedback.delete(identifier)
        assert recorder.calls.pop() == {"method": "DELETE", "path": path}
