"""The error hierarchy: fixed values, text form, constructor rules, pickling."""

import builtins
import pickle

import pytest
from korvane_sdk import exceptions as ex

FIXED = [
    # class, default message, status, code
    (ex.AuthenticationError, "Authentication failed", 401, "AUTH_ERROR"),
    (ex.RateLimitError, "Rate limit exceeded", 429, "RATE_LIMIT"),
    (ex.InvalidRequestError, "Invalid request", 400, "INVALID_REQUEST"),
    (ex.NotFoundError, "Resource not found", 404, "NOT_FOUND"),
    (ex.ServerError, "Server error", 500, "SERVER_ERROR"),
    (ex.TrainingError, "Training error", None, "TRAINING_ERROR"),
    (ex.TrainingDataError, "Invalid training data", None, "INVALID_TRAINING_DATA"),
    (ex.ConnectionError, "Failed to connect to Korvane API", None, "CONNECTION_ERROR"),
    (ex.TimeoutError, "Request timed out", None, "TIMEOUT"),
]


@pytest.mark.parametrize("cls, message, status, code", FIXED)
def test_subclass_defaults(cls, message, status, code):
    error = cls()
    assert (error.message, error.http_status, error.error_code, error.details) == (message, status, code, {})
    assert error.args == (message,)
    expected = f"{message} [{code}]" + (f" (HTTP {status})" if status else "")
    assert str(error) == expected
    assert isinstance(error, ex.KorvaneError) and isinstance(error, Exception)


@pytest.mark.parametrize(
    "error, text",
    [
        (ex.KorvaneError("Unknown error"), "Unknown error"),
        (ex.KorvaneError("Unknown error", http_status=503), "Unknown error (HTTP 503)"),
        (ex.KorvaneError("m", 0, ""), "m"),
        (ex.KorvaneError("m", None, "CODE"), "m [CODE]"),
        (ex.KorvaneError("m", 403, "FORBIDDEN", {"a": 1}), "m [FORBIDDEN] (HTTP 403)"),
        (ex.RateLimitError(retry_after=30), "Rate limit exceeded [RATE_LIMIT] (HTTP 429)"),
        (ex.TrainingJobNotFoundError("abc"), "Training job 'abc' not found [JOB_NOT_FOUND]"),
        (ex.TimeoutError(http_status=504), "Request timed out [TIMEOUT] (HTTP 504)"),
        (ex.KorvaneError([{"loc": "x"}], 422), "[{'loc': 'x'}] (HTTP 422)"),
    ],
)
def test_text_form(error, text):
    assert str(error) == text


def test_text_form_reads_fields_when_produced():
    error = ex.NotFoundError()
    error.message = "Tenant gone"
    error.http_status = None
    assert str(error) == "Tenant gone [NOT_FOUND]"


def test_details_never_null_and_non_empty_mapping_kept_itself():
    mapping = {"status_code": 401}
    assert ex.KorvaneError("m", details={}).details == {}
    assert ex.KorvaneError("m").details is not ex.KorvaneError("m").details
    assert ex.NotFoundError("gone", details=mapping).details is mapping


def test_extra_fields():
    limited = ex.RateLimitError("slow down", retry_after=30, details={"a": 1})
    assert (limited.message, limited.retry_after, limited.details) == ("slow down", 30, {"a": 1})
    assert ex.RateLimitError().retry_after is None
    job = ex.TrainingJobNotFoundError(job_id="abc", http_status=404)
    assert (job.job_id, job.message, job.http_status) == ("abc", "Training job 'abc' not found", 404)
    assert isinstance(job, ex.TrainingError)


@pytest.mark.parametrize(
    "build, word",
    [
        (lambda: ex.AuthenticationError(http_status=403), "http_status"),
        (lambda: ex.NotFoundError(error_code="X"), "error_code"),
        (lambda: ex.TrainingError(error_code="TIMEOUT"), "error_code"),
        (lambda: ex.TimeoutError(error_code="X"), "error_code"),
        (lambda: ex.TrainingJobNotFoundError("a", message="b"), "message"),
        (lambda: ex.ServerError(foo=1), "foo"),
        (lambda: ex.KorvaneError("m", bogus=1), "bogus"),
        (lambda: ex.KorvaneError(), "message"),
        (lambda: ex.TrainingJobNotFoundError(), "job_id"),
        (lambda: ex.NotFoundError("m", {"a": 1}), "positional"),
    ],
)
def test_constructor_refusals(build, word):
    with pytest.raises(TypeError, match=word):
        build()


def test_own_connection_and_timeout_errors_are_not_builtins():
    assert not issubclass(ex.ConnectionError, builtins.ConnectionError)
    assert not issubclass(ex.TimeoutError, builtins.TimeoutError)
    with pytest.raises(ex.KorvaneError):
        try:
            raise ex.TimeoutError()
        except builtins.TimeoutError:  # must not catch ours
            pytest.fail("caught by the built-in handler")


ALL = [
    ex.KorvaneError("m", 418, "TEAPOT", {"k": [1, 2]}),
    ex.RateLimitError("slow", retry_after=7, details={"x": 1}),
    ex.TrainingJobNotFoundError("job-1", http_status=404),
    ex.ServerError("boom"),
] + [cls() for cls, *_ in FIXED]


@pytest.mark.parametrize("error", ALL, ids=lambda e: type(e).__name__)
def test_pickle_round_trip(error):
    error.http_status = error.http_status  # fields as the raiser left them
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error)
    assert vars(copy) == vars(error)
    assert str(copy) == str(error) and copy.args == error.args


def test_documentation_and_module():
    assert ex.KorvaneError.__doc__ == "Base exception for all Korvane SDK errors."
    assert ex.AuthenticationError.__doc__.splitlines()[0] == "Raised when authentication fails."
    for name in ex.__all__:
        assert getattr(ex, name).__module__ == "korvane_sdk.exceptions"


def test_user_subclass_works():
    class Mine(ex.NotFoundError):
        pass

    error = Mine("x")
    assert (str(error), error.http_status) == ("x [NOT_FOUND] (HTTP 404)", 404)
