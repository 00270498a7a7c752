"""Date-time fields: ISO 8601 text, Unix times and datetime objects; how they are refused; JSON form."""

from datetime import datetime, timedelta, timezone

import pytest
from korvane_sdk.models import Tenant, ValidationError

UTC = timezone.utc
BASE = {"id": "t1", "name": "Acme", "slug": "acme"}


def created(value):
    return Tenant(**BASE, created_at=value).created_at


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2024-01-15", datetime(2024, 1, 15)),
        ("2024-01-15T10:30", datetime(2024, 1, 15, 10, 30)),
        ("2024-01-15T10:30:05", datetime(2024, 1, 15, 10, 30, 5)),
        ("2024-01-15 10:30:05", datetime(2024, 1, 15, 10, 30, 5)),
        ("2024-01-15t10:30:05z", datetime(2024, 1, 15, 10, 30, 5, tzinfo=UTC)),
        ("2024-01-15T10:30:05Z", datetime(2024, 1, 15, 10, 30, 5, tzinfo=UTC)),
        ("2024-01-15T10:30:05.5Z", datetime(2024, 1, 15, 10, 30, 5, 500000, tzinfo=UTC)),
        ("2024-01-15T10:30:05.123456Z", datetime(2024, 1, 15, 10, 30, 5, 123456, tzinfo=UTC)),
        ("2024-01-15T10:30:05.1234567891Z", datetime(2024, 1, 15, 10, 30, 5, 123456, tzinfo=UTC)),
        ("2024-01-15T10:30:05+02:00", datetime(2024, 1, 15, 10, 30, 5, tzinfo=timezone(timedelta(hours=2)))),
        (
            "2024-01-15T10:30:05-0530",
            datetime(2024, 1, 15, 10, 30, 5, tzinfo=timezone(-timedelta(hours=5, minutes=30))),
        ),
        ("2024-01-15T10:30:05+01", datetime(2024, 1, 15, 10, 30, 5, tzinfo=timezone(timedelta(hours=1)))),
        ("2024-01-15T10:30:05+00:00", datetime(2024, 1, 15, 10, 30, 5, tzinfo=UTC)),
        ("2024-02-29T00:00:00Z", datetime(2024, 2, 29, tzinfo=UTC)),
        ("0001-01-01T00:00:00", datetime(1, 1, 1)),
        ("9999-12-31T23:59:59.999999Z", datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)),
    ],
)
def test_iso_8601_text(text, expected):
    value = created(text)
    assert value == expected
    assert value.utcoffset() == expected.utcoffset()


@pytest.mark.parametrize(
    "given, expected",
    [
        (0, datetime(1970, 1, 1, tzinfo=UTC)),
        (1700000000, datetime(2023, 11, 14, 22, 13, 20, tzinfo=UTC)),
        (1700000000.25, datetime(2023, 11, 14, 22, 13, 20, 250000, tzinfo=UTC)),
        (-1.5, datetime(1969, 12, 31, 23, 59, 58, 500000, tzinfo=UTC)),
        ("1700000000", datetime(2023, 11, 14, 22, 13, 20, tzinfo=UTC)),
        ("-86400", datetime(1969, 12, 31, tzinfo=UTC)),
    ],
)
def test_unix_seconds_give_aware_utc_datetimes(given, expected):
    value = created(given)
    assert value == expected and value.tzinfo is not None


def test_datetime_objects_are_kept():
    naive = datetime(2020, 5, 1, 12)
    assert created(naive) is naive


@pytest.mark.parametrize(
    "given, reason",
    [
        ("", "input is too short"),
        ("2024-1-15", "input is too short"),
        ("abcd-01-15", "invalid character in year"),
        ("2024/01/15", "invalid date separator, expected `-`"),
        ("2024-13-01", "month value is outside expected range of 1-12"),
        ("2023-02-29", "day value is outside expected range"),
        # a valid date followed by what is no time: the text is neither a date-time nor a date
        ("2024-01-15X10:30", "unexpected extra characters at the end of the input"),
        ("2024-01-15T25:00", "unexpected extra characters at the end of the input"),
        ("2024-01-15T10:30:05Zjunk", "unexpected extra characters at the end of the input"),
        ("253402300800000", "dates after 9999 are not supported as unix timestamps"),
    ],
)
def test_unreadable_texts_name_the_reason(given, reason):
    with pytest.raises(ValidationError) as info:
        created(given)
    (error,) = info.value.errors()
    assert error["type"] == "datetime_from_date_parsing"
    assert error["msg"] == f"Input should be a valid datetime or date, {reason}"
    assert error["ctx"] == {"error": reason}


@pytest.mark.parametrize("given", [True, None, [2024], bytearray(b"2024-01-15")])
def test_other_types_are_not_datetimes(given):
    with pytest.raises(ValidationError) as info:
        created(given)
    assert info.value.errors()[0]["type"] == "datetime_type"


def test_optional_datetimes_take_none():
    assert Tenant(**BASE, created_at=0, updated_at=None).updated_at is None


@pytest.mark.parametrize(
    "value, text",
    [
        (datetime(2024, 1, 15, 10, 30, tzinfo=UTC), "2024-01-15T10:30:00Z"),
        (datetime(2024, 1, 15, 10, 30, 0, 1500, tzinfo=UTC), "2024-01-15T10:30:00.001500Z"),
        (datetime(2024, 1, 15, 10, 30, tzinfo=timezone(timedelta(hours=-3, minutes=-30))), "2024-01-15T10:30:00-03:30"),
        (datetime(2024, 1, 15, 10, 30, tzinfo=timezone(timedelta(0))), "2024-01-15T10:30:00Z"),
        (datetime(2024, 1, 15, 10, 30), "2024-01-15T10:30:00"),
        (datetime(5, 1, 2), "0005-01-02T00:00:00"),
    ],
)
def test_json_mode_writes_iso_8601(value, text):
    assert Tenant(**BASE, created_at=value).model_dump(mode="json")["created_at"] == text


def test_iso_text_round_trips_through_json():
    tenant = Tenant(**BASE, created_at="2024-06-01T08:00:00.25+02:00")
    again = Tenant.model_validate_json(tenant.model_dump_json())
    assert again == tenant
