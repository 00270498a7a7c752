"""ValidationError: every problem reported together, with location, reason, input, and a readable text."""

import pickle

import pytest
from korvane_sdk.models import (
    ChatCompletion,
    ChatMessage,
    DatasetCreate,
    Feedback,
    FeedbackCreate,
    Tenant,
    TenantCreate,
    TrainingJobCreate,
    ValidationError,
)


def errors_of(call):
    with pytest.raises(ValidationError) as info:
        call()
    return info.value


def test_is_a_value_error_of_the_models_module():
    assert issubclass(ValidationError, ValueError)
    assert ValidationError.__module__ == "korvane_sdk.models"


def test_all_failing_fields_are_reported_together_in_field_order():
    given = {"id": 7, "created_at": "soon", "features": None, "unknown": 1}
    error = errors_of(lambda: Tenant(**given))
    assert error.error_count() == 5
    assert [(e["loc"], e["type"]) for e in error.errors()] == [
        (("id",), "string_type"),
        (("name",), "missing"),
        (("slug",), "missing"),
        (("created_at",), "datetime_from_date_parsing"),
        (("features",), "list_type"),
    ]
    missing = error.errors()[1]
    assert missing["msg"] == "Field required"
    assert missing["input"] == given
    assert error.title == "Tenant"


def test_text_form():
    error = errors_of(lambda: ChatMessage(role=1, content=None))
    assert str(error) == (
        "2 validation errors for ChatMessage\n"
        "role\n"
        "  Input should be a valid string [type=string_type, input_value=1, input_type=int]\n"
        "content\n"
        "  Input should be a valid string [type=string_type, input_value=None, input_type=NoneType]"
    )
    one = errors_of(lambda: ChatMessage(role="user"))
    assert str(one).startswith("1 validation error for ChatMessage\ncontent\n  Field required [type=missing, ")


def test_long_inputs_are_shortened_in_the_text_only():
    long_text = "x" * 200
    error = errors_of(lambda: ChatMessage(role="user", content=[long_text]))
    assert f"input_value=['{'x' * 23}...{'x' * 22}'], input_type=list" in str(error)
    assert error.errors()[0]["input"] == [long_text]


def test_nested_locations_name_the_path():
    answer = {
        "id": "c1",
        "created": 1,
        "model": "m",
        "choices": [
            {"index": 0, "message": {"role": "assistant", "content": "ok"}},
            {"index": "x", "message": {"role": "assistant", "content": None}},
        ],
        "usage": {"prompt_tokens": 1, "completion_tokens": 2},
    }
    error = errors_of(lambda: ChatCompletion(**answer))
    assert [e["loc"] for e in error.errors()] == [
        ("choices", 1, "index"),
        ("choices", 1, "message", "content"),
        ("usage", "total_tokens"),
    ]
    assert "\nchoices.1.message.content\n  Input should be a valid string" in str(error)


@pytest.mark.parametrize(
    "call, loc, error_type, msg, ctx",
    [
        (
            lambda v: FeedbackCreate(request_id="r", rating=v),
            ("rating",),
            "less_than_equal",
            "Input should be less than or equal to 1",
            {"le": 1},
        ),
        (
            lambda v: Feedback(id="f", tenant_id="t", request_id="r", created_at=0, rating=v),
            ("rating",),
            "less_than_equal",
            "Input should be less than or equal to 1",
            {"le": 1},
        ),
        (
            lambda v: TrainingJobCreate(training_type="sft", num_gpus=v),
            ("num_gpus",),
            "less_than_equal",
            "Input should be less than or equal to 64",
            {"le": 64},
        ),
        (
            lambda v: TenantCreate(name="x" * v),
            ("name",),
            "string_too_long",
            "String should have at most 255 characters",
            {"max_length": 255},
        ),
        (
            lambda v: DatasetCreate(name="x" * v),
            ("name",),
            "string_too_long",
            "String should have at most 255 characters",
            {"max_length": 255},
        ),
    ],
)
@pytest.mark.parametrize("excess", [1, 10**30])
def test_upper_bounds(call, loc, error_type, msg, ctx, excess):
    limit = next(iter(ctx.values()))
    if error_type == "string_too_long":
        excess = 1  # text lengths: one past the bound is enough
    (error,) = errors_of(lambda: call(limit + excess)).errors()
    assert (error["loc"], error["type"], error["msg"], error["ctx"]) == (loc, error_type, msg, ctx)


@pytest.mark.parametrize(
    "call, given, error_type, msg, ctx",
    [
        (
            lambda v: FeedbackCreate(request_id="r", rating=v),
            -2,
            "greater_than_equal",
            "Input should be greater than or equal to -1",
            {"ge": -1},
        ),
        (
            lambda v: FeedbackCreate(request_id="r", rating=v),
            -(10**30),
            "greater_than_equal",
            "Input should be greater than or equal to -1",
            {"ge": -1},
        ),
        (
            lambda v: TrainingJobCreate(training_type="sft", num_gpus=v),
            0,
            "greater_than_equal",
            "Input should be greater than or equal to 1",
            {"ge": 1},
        ),
        (
            lambda v: TenantCreate(name=v),
            "",
            "string_too_short",
            "String should have at least 1 character",
            {"min_length": 1},
        ),
        (
            lambda v: DatasetCreate(name=v),
            "",
            "string_too_short",
            "String should have at least 1 character",
            {"min_length": 1},
        ),
    ],
)
def test_lower_bounds(call, given, error_type, msg, ctx):
    (error,) = errors_of(lambda: call(given)).errors()
    assert (error["type"], error["msg"], error["ctx"], error["input"]) == (error_type, msg, ctx, given)


def test_bounds_apply_after_conversion_and_report_the_input_as_given():
    assert FeedbackCreate(request_id="r", rating="1").rating == 1
    (error,) = errors_of(lambda: FeedbackCreate(request_id="r", rating="2")).errors()
    assert error["type"] == "less_than_equal" and error["input"] == "2"


def test_errors_gives_fresh_copies_and_can_leave_parts_out():
    error = errors_of(lambda: TenantCreate(name=""))
    error.errors()[0]["msg"] = "changed"
    assert error.errors()[0]["msg"] == "String should have at least 1 character"
    assert set(error.errors(include_input=False, include_context=False)[0]) == {"type", "loc", "msg"}


def test_pickles_with_its_problems():
    error = errors_of(lambda: TenantCreate(name="", plan=None))
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is ValidationError
    assert again.errors() == error.errors() and str(again) == str(error)


def test_positional_arguments_are_a_type_error():
    with pytest.raises(TypeError, match=r"ChatMessage.__init__\(\) takes 1 positional argument but 3 were given"):
        ChatMessage("user", "Hi")


@pytest.mark.parametrize("given", [None, 3, "text", ["role", "user"]])
def test_model_validate_refuses_what_is_not_a_mapping(given):
    (error,) = errors_of(lambda: ChatMessage.model_validate(given)).errors()
    assert error["type"] == "model_type" and error["loc"] == () and error["input"] == given
    assert (
        str(errors_of(lambda: ChatMessage.model_validate(given)))
        .split("\n")[1]
        .startswith("Input should be a valid dictionary or instance of ChatMessage")
    )


@pytest.mark.parametrize(
    "data, error_type",
    [
        ('{"role": "user", "content": ', "json_invalid"),
        (b"\xff\xfe", "json_invalid"),
        ("", "json_invalid"),
        ("[1, 2]", "model_type"),
        ("null", "model_type"),
        (123, "json_type"),
        (None, "json_type"),
    ],
)
def test_model_validate_json_reports_bad_input_as_validation_errors(data, error_type):
    (error,) = errors_of(lambda: ChatMessage.model_validate_json(data)).errors()
    assert error["type"] == error_type and error["loc"] == ()


def test_a_failed_construction_changes_nothing():
    message = ChatMessage(role="user", content="Hi")
    with pytest.raises(ValidationError):
        message.__init__(role="system", content=None)
    assert (message.role, message.content) == ("user", "Hi")


def test_deeply_nested_json_gives_a_python_exception():
    deep = (
        '{"id": "t", "name": "n", "slug": "s", "created_at": 0, "metadata": {"a": '
        + "[" * 200_000
        + "]" * 200_000
        + "}}"
    )
    with pytest.raises((RecursionError, ValidationError)):
        Tenant.model_validate_json(deep)


def test_huge_input_is_handled():
    tenant = Tenant(id="t", name="n", slug="s", created_at=0, features=[str(i) for i in range(200_000)])
    assert len(tenant.model_dump()["features"]) == 200_000
    bad = list(range(50_000))
    error = errors_of(lambda: Tenant(id="t", name="n", slug="s", created_at=0, features=bad))
    assert error.error_count() == 50_000
    assert str(error).count("\n") == 2 * 50_000
