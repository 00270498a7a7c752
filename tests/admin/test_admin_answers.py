"""How answers become results: records, list shapes, values passed through, and answers of a shape
the operation cannot use."""

import datetime

import pytest
from admin_samples import DATASET, FEEDBACK, FEEDBACK_STATS, JOB, TENANT
from korvane_sdk.exceptions import KorvaneError, NotFoundError
from korvane_sdk.models import ValidationError

# (namespace, list operation, member holding the array, record class, sample element)
LISTS = [
    ("tenants", "list", "tenants", "Tenant", TENANT),
    ("feedback", "list", "feedbacks", "Feedback", FEEDBACK),
    ("training", "list", "jobs", "TrainingJob", JOB),
    ("training", "list_datasets", "datasets", "Dataset", DATASET),
]
LIST_IDS = [f"{ns}.{op}" for ns, op, *_ in LISTS]


def second(sample):
    return {**sample, "id": sample["id"] + "-b"}


@pytest.mark.parametrize("namespace, operation, member, record, sample", LISTS, ids=LIST_IDS)
@pytest.mark.parametrize("wrap", ["bare array", "object", "object with more members"])
def test_list_answers_give_records_in_order(client, recorder, namespace, operation, member, record, sample, wrap):
    items = [sample, second(sample)]
    recorder.answer = {
        "bare array": items,
        "object": {member: items},
        "object with more members": {"total": 2, member: items, "next": None},
    }[wrap]
    result = getattr(getattr(client, namespace), operation)()
    assert [type(r).__name__ for r in result] == [record, record]
    assert [r.id for r in result] == [sample["id"], sample["id"] + "-b"]


@pytest.mark.parametrize("namespace, operation, member, record, sample", LISTS, ids=LIST_IDS)
@pytest.mark.parametrize("answer", [{}, {"data": [{"id": "x"}]}, []])
def test_list_answers_without_the_array_are_empty(
    client, recorder, namespace, operation, member, record, sample, answer
):
    recorder.answer = answer
    assert getattr(getattr(client, namespace), operation)() == []


@pytest.mark.parametrize("namespace, operation, member, record, sample", LISTS, ids=LIST_IDS)
@pytest.mark.parametrize(
    "answer, came",
    [
        ("<html>busy</html>", "str"),
        (None, "null"),
        (3, "int"),
        ({"__member__": "not a list"}, "str"),
        ({"__member__": None}, "null"),
        (["not an object"], "str"),
    ],
)
def test_list_answers_of_another_shape_are_a_clear_error(
    client, recorder, namespace, operation, member, record, sample, answer, came
):
    if isinstance(answer, dict):
        answer = {member: answer["__member__"]}
    recorder.answer = answer
    with pytest.raises(KorvaneError) as raised:
        getattr(getattr(client, namespace), operation)()
    error = raised.value
    assert type(error) is KorvaneError
    assert error.error_code == "UNEXPECTED_RESPONSE"
    assert came in error.message and recorder.calls[0]["path"] in error.message


# (namespace, operation, args, record class, sample answer)
RECORD_CALLS = [
    ("tenants", "get", ("t1",), "Tenant", TENANT),
    ("tenants", "create", ("Acme",), "Tenant", TENANT),
    ("tenants", "update", ("t1",), "Tenant", TENANT),
    ("feedback", "create", ("r1", 1), "Feedback", FEEDBACK),
    ("feedback", "get", ("f1",), "Feedback", FEEDBACK),
    ("feedback", "stats", (), "FeedbackStats", FEEDBACK_STATS),
    ("training", "create", ("sft",), "TrainingJob", JOB),
    ("training", "get", ("j1",), "TrainingJob", JOB),
    ("training", "cancel", ("j1",), "TrainingJob", JOB),
    ("training", "create_dataset", ("D",), "Dataset", DATASET),
    ("training", "get_dataset", ("d1",), "Dataset", DATASET),
    ("training", "generate_from_feedback", ("N",), "Dataset", DATASET),
]
RECORD_IDS = [f"{ns}.{op}" for ns, op, *_ in RECORD_CALLS]


@pytest.mark.parametrize("namespace, operation, args, record, sample", RECORD_CALLS, ids=RECORD_IDS)
def test_record_answers_become_records(client, recorder, namespace, operation, args, record, sample):
    recorder.answer = sample
    result = getattr(getattr(client, namespace), operation)(*args)
    assert type(result).__name__ == record
    assert type(result).__module__ == "korvane_sdk.models"
    for field, value in sample.items():
        if field.endswith("_at") and value is not None:
            assert getattr(result, field) == datetime.datetime.fromisoformat(value)
        elif field != "unknown_member":
            assert getattr(result, field) == value


@pytest.mark.parametrize("namespace, operation, args, record, sample", RECORD_CALLS, ids=RECORD_IDS)
@pytest.mark.parametrize("answer, came", [("Created", "str"), ([{"id": "x"}], "list"), (None, "null")])
def test_record_answers_of_another_shape_are_a_clear_error(
    client, recorder, namespace, operation, args, record, sample, answer, came
):
    recorder.answer = answer
    with pytest.raises(KorvaneError) as raised:
        getattr(getattr(client, namespace), operation)(*args)
    assert raised.value.error_code == "UNEXPECTED_RESPONSE"
    assert "expected a JSON object" in raised.value.message and came in raised.value.message


def test_record_answer_missing_a_required_field_is_a_validation_error(client, recorder):
    recorder.answer = {k: v for k, v in TENANT.items() if k != "created_at"}
    with pytest.raises(ValidationError, match="created_at"):
        client.tenants.get("t1")


@pytest.mark.parametrize(
    "namespace, operation, args",
    [
        ("tenants", "get_usage", ("t1",)),
        ("tenants", "regenerate_api_key", ("t1",)),
        ("training", "get_metrics", ("j1",)),
    ],
)
@pytest.mark.parametrize("answer", [{"api_key": "sk-1", "nested": {"a": [1, None]}}, {}, [1, 2], "text"])
def test_pass_through_answers_are_returned_unchanged(client, recorder, namespace, operation, args, answer):
    recorder.answer = answer
    assert getattr(getattr(client, namespace), operation)(*args) is answer


@pytest.mark.parametrize("body", ["", "not json at all\n", '{"a": 1}\n{"a": 2}\n', "id,rating\nf1,1\n"])
def test_export_returns_the_body_text(client, recorder, body):
    recorder.answer = body
    assert client.feedback.export() is body


@pytest.mark.parametrize(
    "namespace, operation, args",
    [
        ("tenants", "delete", ("t1",)),
        ("feedback", "delete", ("f1",)),
        ("training", "delete_dataset", ("d1",)),
    ],
)
@pytest.mark.parametrize("answer", [{}, "", None, {"deleted": False}])
def test_deletions_return_true_once_the_request_succeeded(client, recorder, namespace, operation, args, answer):
    recorder.answer = answer
    assert getattr(getattr(client, namespace), operation)(*args) is True


@pytest.mark.parametrize(
    "namespace, operation, args",
    [
        ("tenants", "delete", ("t1",)),
        ("feedback", "delete", ("f1",)),
        ("training", "delete_dataset", ("d1",)),
        ("training", "get", ("j1",)),
    ],
)
def test_request_errors_pass_through_unchanged(client, recorder, namespace, operation, args):
    error = NotFoundError("missing")

    def fail(**kwargs):
        raise error

    recorder.answer = fail
    with pytest.raises(NotFoundError) as raised:
        getattr(getattr(client, namespace), operation)(*args)
    assert raised.value is error


@pytest.mark.parametrize(
    "answer, logs",
    [
        ({"logs": "step 1\nstep 2\n", "lines": 2}, "step 1\nstep 2\n"),
        ({}, ""),
        ({"logs": None}, None),
    ],
)
def test_get_logs_returns_the_logs_member(client, recorder, answer, logs):
    recorder.answer = answer
    assert client.training.get_logs("j1") == logs


@pytest.mark.parametrize("answer", ["step 1", ["step 1"], None])
def test_get_logs_needs_an_object(client, recorder, answer):
    recorder.answer = answer
    with pytest.raises(KorvaneError) as raised:
        client.training.get_logs("j1")
    assert raised.value.error_code == "UNEXPECTED_RESPONSE"
