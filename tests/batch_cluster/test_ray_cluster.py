"""Ray Data on a local Ray cluster: 2,000 requests against the stand-in under one shared limit."""

import pickle

import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")

from cluster_checks import LIMIT, REQUESTS, check_run, requests  # noqa: E402
from korvane_sdk.batch.ray import ChatCompletions, RayRateLimiter  # noqa: E402
from korvane_sdk.testing import LocalPlatform  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    try:
        yield
    finally:
        ray.shutdown()


@pytest.fixture
def limited_platform():
    with LocalPlatform(**LIMIT) as platform:
        yield platform


def test_map_batches_keeps_the_shared_limit(cluster, limited_platform):
    limiter = RayRateLimiter(requests_per_minute=LIMIT["requests_per_minute"], name="test-map-batches")
    try:
        answered = (
            ray.data.from_items(requests())
            .map_batches(
                ChatCompletions,
                fn_constructor_kwargs={"client": limited_platform.client(), "limiter": limiter, "concurrency": 16},
                concurrency=2,
                batch_size=100,
            )
            .take_all()
        )
        check_run(limited_platform, answered)
        assert limiter.describe()["reserved"] == REQUESTS
    finally:
        limiter.close()


def test_a_limiter_is_found_again_by_name_with_the_same_limits(cluster):
    first = RayRateLimiter(requests_per_minute=600, name="test-by-name")
    try:
        again = RayRateLimiter(requests_per_minute=600, name="test-by-name")
        with pytest.raises(ValueError, match="other limits"):
            RayRateLimiter(requests_per_minute=60, name="test-by-name")
        # Both reach one schedule, also from a copy (as a task gets it).
        copy = pickle.loads(pickle.dumps(again))
        ray.get([copy._call("reserve", 1), first._call("reserve", 1)])
        assert first.describe()["reserved"] == 2
    finally:
        first.close()
