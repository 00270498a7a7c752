"""Dask distributed on a LocalCluster: 2,000 requests against the stand-in under one shared limit."""

import pytest

distributed = pytest.importorskip("distributed")
bag = pytest.importorskip("dask.bag")

from cluster_checks import LIMIT, REQUESTS, check_run, requests  # noqa: E402
from korvane_sdk.batch.dask import DaskRateLimiter, chat_completions  # noqa: E402
from korvane_sdk.testing import LocalPlatform  # noqa: E402


@pytest.fixture(scope="module")
def dask_client():
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture
def limited_platform():
    with LocalPlatform(**LIMIT) as platform:
        yield platform


def test_bag_partitions_keep_the_shared_limit(dask_client, limited_platform):
    limiter = DaskRateLimiter(requests_per_minute=LIMIT["requests_per_minute"], client=dask_client)
    try:
        answered = (
            bag.from_sequence(requests(), npartitions=8)
            .map_partitions(chat_completions, client=limited_platform.client(), limiter=limiter, concurrency=16)
            .compute()
        )
        check_run(limited_platform, answered)
        assert limiter.describe()["reserved"] == REQUESTS
    finally:
        limiter.close()


def test_dataframe_partition_gives_a_dataframe(limited_platform):
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(requests(3))
    answered = chat_completions(frame, client=limited_platform.client())
    assert list(answered.columns) == ["id", "response", "error"]
    assert list(answered["id"]) == ["req-0", "req-1", "req-2"] and answered["error"].isna().all()


@pytest.mark.parametrize("partition, error", [([{"id": "a"}], KeyError), (["text"], TypeError)])
def test_bad_requests_are_refused_before_sending(limited_platform, partition, error):
    with pytest.raises(error):
        chat_completions(partition, client=limited_platform.client())
    assert limited_platform.requests() == 0
