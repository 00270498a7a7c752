"""Page iterators: every record of a list call, one request per page, lazily, with list's filters."""

import pytest
from admin_samples import DATASET, FEEDBACK, JOB, TENANT
from korvane_sdk import exceptions as ex
from korvane_sdk.models import Dataset, Feedback, Tenant, TrainingJob


def paged(sample, member, total):
    """An answer function serving `total` copies of `sample` (ids 0..total-1) by limit and offset."""

    def answer(method, path, params=None, **_):
        offset, limit = params["offset"], params["limit"]
        items = [dict(sample, id=str(i)) for i in range(offset, min(offset + limit, total))]
        return {member: items, "total": total}

    return answer


@pytest.mark.parametrize(
    "call, record, sample, member",
    [
        (lambda c, **kw: c.tenants.iter(**kw), Tenant, TENANT, "tenants"),
        (lambda c, **kw: c.feedback.iter(**kw), Feedback, FEEDBACK, "feedbacks"),
        (lambda c, **kw: c.training.iter_jobs(**kw), TrainingJob, JOB, "jobs"),
        (lambda c, **kw: c.training.iter_datasets(**kw), Dataset, DATASET, "datasets"),
    ],
    ids=["tenants", "feedback", "jobs", "datasets"],
)
def test_pages_until_a_short_page(client, recorder, call, record, sample, member):
    recorder.answer = paged(sample, member, total=7)
    pages = call(client, page_size=3)
    assert recorder.calls == []  # nothing is sent before the first pull
    first = next(pages)
    assert isinstance(first, record) and first.id == "0" and len(recorder.calls) == 1
    rest = list(pages)
    assert [r.id for r in rest] == [str(i) for i in range(1, 7)]
    assert [(c["params"]["limit"], c["params"]["offset"]) for c in recorder.calls] == [(3, 0), (3, 3), (3, 6)]
    assert list(pages) == [] and len(recorder.calls) == 3  # finished: no more requests


def test_full_last_page_takes_one_empty_page_to_end(client, recorder):
    recorder.answer = paged(TENANT, "tenants", total=4)
    assert len(list(client.tenants.iter(page_size=2))) == 4
    assert [c["params"]["offset"] for c in recorder.calls] == [0, 2, 4]


def test_filters_and_tenant_scoping_are_lists(client, recorder):
    recorder.answer = paged(FEEDBACK, "feedbacks", total=1)
    list(client.feedback.iter(tenant_id="t9", rating=-1, tags=["slow"]))
    recorder.answer = paged(FEEDBACK, "feedbacks", total=1)
    client.feedback.list(tenant_id="t9", rating=-1, tags=["slow"])
    through_iter, through_list = recorder.calls
    assert through_iter == through_list  # same path, method and query, limit and offset included
    assert through_iter["path"] == "/api/v1/tenants/t9/feedback"


def test_a_failed_page_is_asked_again(client, recorder):
    serve = paged(JOB, "jobs", total=5)
    failures = [ex.RateLimitError(retry_after=1)]

    def flaky(**kwargs):
        if kwargs["params"]["offset"] == 2 and failures:
            raise failures.pop()
        return serve(**kwargs)

    recorder.answer = flaky
    jobs = client.training.iter_jobs(status="running", page_size=2)
    assert [next(jobs).id, next(jobs).id] == ["0", "1"]
    with pytest.raises(ex.RateLimitError):
        next(jobs)
    assert [j.id for j in jobs] == ["2", "3", "4"]
    assert [c["params"]["offset"] for c in recorder.calls] == [0, 2, 2, 4]


def test_bad_arguments_send_nothing(client, recorder):
    with pytest.raises(ValueError, match="page_size"):
        client.tenants.iter(page_size=0)
    with pytest.raises(TypeError, match="page_size"):
        client.tenants.iter(page_size="10")
    with pytest.raises(TypeError, match="unexpected keyword argument 'limit'"):
        client.training.iter_datasets(limit=5)
    with pytest.raises(TypeError):
        client.feedback.iter("t1")  # filters are keyword-only
    assert recorder.calls == []
