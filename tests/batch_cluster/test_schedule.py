"""The shared rate-limit schedule the cluster limiters keep in an actor: plain arithmetic on a clock."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from korvane_sdk.batch._cluster_limits import DEFAULT_HEADROOM, ReservationSchedule, limits_of


def starts(schedule, calls):
    """Booked start times of (now, tokens) calls."""
    return [now + schedule.reserve(tokens, now) for now, tokens in calls]


def test_requests_are_spaced_evenly_without_a_burst():
    schedule = ReservationSchedule(600, headroom=0)  # one request each 0.1 s
    assert starts(schedule, [(0.0, 1)] * 4) == pytest.approx([0.0, 0.1, 0.2, 0.3])
    # Idle time builds no credit: after a long gap the next two are spaced again.
    assert starts(schedule, [(50.0, 1), (50.0, 1)]) == pytest.approx([50.0, 50.1])


def test_headroom_keeps_the_rate_under_the_limit():
    schedule = ReservationSchedule(600, headroom=0.5)
    assert starts(schedule, [(0.0, 1)] * 3) == pytest.approx([0.0, 0.2, 0.4])


def test_tokens_take_their_share_of_the_token_schedule():
    schedule = ReservationSchedule(tokens_per_minute=60, headroom=0)  # one token a second
    assert starts(schedule, [(0.0, 3), (0.0, 1), (0.0, 0)]) == pytest.approx([0.0, 3.0, 4.0])


def test_pause_holds_everyone_until_it_ends():
    schedule = ReservationSchedule(6000, headroom=0)
    schedule.pause(5.0, now=1.0)
    schedule.pause(1.0, now=2.0)  # a shorter pause does not cut the longer one short
    assert schedule.reserve(1, now=2.0) == pytest.approx(4.0)
    schedule.pause(float("nan"), now=2.0)  # ignored, as is a pause of no length
    schedule.pause(0, now=2.0)
    assert schedule.describe()["paused"] == 2


@pytest.mark.parametrize(
    "estimated, actual, next_start",
    [
        (2, 5, 5.0),  # used more than booked: the next one waits longer
        (5, 2, 2.0),  # used less: freed
        (5, 0, 1.0),  # ...but never into the past: no credit for a burst
    ],
)
def test_settle_corrects_a_booking(estimated, actual, next_start):
    schedule = ReservationSchedule(tokens_per_minute=60, headroom=0)
    schedule.reserve(estimated, now=0.0)
    schedule.settle(estimated, actual, now=1.0)
    assert 1.0 + schedule.reserve(0, now=1.0) == pytest.approx(max(next_start, 1.0))


@pytest.mark.parametrize(
    "arguments",
    [
        {"requests_per_minute": 0},
        {"requests_per_minute": -5},
        {"tokens_per_minute": float("inf")},
        {"tokens_per_minute": True},
        {"requests_per_minute": "60"},
        {"requests_per_minute": 60, "headroom": 1},
        {"requests_per_minute": 60, "headroom": -0.1},
    ],
)
def test_bad_limits_are_refused(arguments):
    with pytest.raises(ValueError):
        ReservationSchedule(**arguments)


def test_limits_come_from_one_place():
    class Limits:
        requests_per_minute, tokens_per_minute = 60, None

    assert limits_of(Limits(), None, None) == (60, None)
    assert limits_of(None, None, 100) == (None, 100)
    with pytest.raises(TypeError):
        limits_of(Limits(), 60, None)
    with pytest.raises(ValueError):
        limits_of(None, None, None)


WINDOW = 5.0


@settings(max_examples=60, deadline=None)
@given(
    rpm=st.integers(1, 20000),
    tpm=st.integers(100, 200000),
    calls=st.lists(st.tuples(st.floats(0, 0.5), st.integers(0, 100)), min_size=1, max_size=300),
    window_start=st.floats(0, 30),
)
def test_no_window_ever_holds_more_than_its_share(rpm, tpm, calls, window_start):
    schedule = ReservationSchedule(rpm, tpm)
    now, booked = 0.0, []
    for gap, tokens in calls:
        now += gap
        booked.append((now + schedule.reserve(tokens, now), tokens))
    inside = [(start, tokens) for start, tokens in booked if window_start <= start < window_start + WINDOW]
    share = 1 - DEFAULT_HEADROOM
    assert len(inside) <= rpm * WINDOW / 60 * share + 1 + 1e-6
    assert sum(tokens for _, tokens in inside) <= tpm * WINDOW / 60 * share + 100 + 1e-6
