"""The request id on what a call returned (``record._request_id``), through both clients: the answer's
X-Request-Id as the response hooks saw it, on the record the call returned and nowhere else; read-only,
invisible to equality, dumps and copies, and gone with its record."""

import copy
import gc
import json
import pickle
import re
import weakref

import pytest
from korvane_sdk import KorvaneClient
from korvane_sdk.models import Tenant
from werkzeug import Response

CHAT = {"model": "korvane-1", "messages": [{"role": "user", "content": "hello there"}]}
REQUEST_ID = re.compile(r"req_\d+")
TENANT = {"id": "t1", "name": "Acme", "slug": "acme", "created_at": "2024-01-01T00:00:00Z"}


def tenant_get(client):
    return client.tenants.get(client.tenants.create("Acme").id)


def dataset_get(client):
    return client.training.get_dataset(client.training.create_dataset("notes").id)


OPERATIONS = [
    pytest.param(lambda client: client.chat.completions.create(**CHAT), id="chat.create"),
    pytest.param(lambda client: client.tenants.create("Acme"), id="tenants.create"),
    pytest.param(tenant_get, id="tenants.get"),
    pytest.param(lambda client: client.training.create("sft"), id="training.create"),
    pytest.param(dataset_get, id="training.get_dataset"),
]


@pytest.mark.parametrize("operation", OPERATIONS)
def test_the_returned_record_carries_the_id_its_hooks_saw_and_stays_equal(on_emulator, operation):
    seen = []
    client = on_emulator(hooks={"response": [seen.append]})
    record = operation(client)
    assert REQUEST_ID.fullmatch(record._request_id)
    assert record._request_id == seen[-1].request_id
    again = operation(client)
    assert again._request_id == seen[-1].request_id != record._request_id  # each call its own
    # The same values made by hand: no id, and nothing else tells the two apart.
    by_hand = type(record).model_validate(record.model_dump())
    assert by_hand._request_id is None
    assert by_hand == record and not by_hand != record
    assert by_hand.model_dump() == record.model_dump() and by_hand.model_dump_json() == record.model_dump_json()
    assert repr(by_hand) == repr(record)


def test_nested_records_and_list_members_carry_none(on_emulator):
    client = on_emulator()
    completion = client.chat.completions.create(**CHAT)
    assert completion._request_id is not None
    assert completion.choices[0]._request_id is None and completion.choices[0].message._request_id is None
    client.tenants.create("Acme")
    listed = client.tenants.list()
    assert listed and all(member._request_id is None for member in listed)


def test_raw_answers_parse_to_a_record_with_the_same_id(on_emulator):
    raw = on_emulator().with_raw_response.tenants.create("Acme")
    assert raw.parse()._request_id == raw.request_id


def test_a_busy_paused_call_carries_the_id_of_the_answer_it_was_read_from(emulator, on_emulator):
    seen = []
    client = on_emulator(hooks={"response": [seen.append]}, retry_on_busy=True)
    emulator.inject_rate_limit(times=1, retry_after="0")
    record = client.tenants.create("Acme")
    assert [answer.status_code for answer in seen] == [429, 201]
    assert record._request_id == seen[1].request_id != seen[0].request_id


@pytest.mark.parametrize(
    ("headers", "expected"),
    [({}, None), ({"x-request-id": "abc-1"}, "abc-1"), ({"X-Request-Id": "r\u00e9q"}, "r\u00e9q")],
    ids=["absent", "any case", "latin-1"],
)
def test_the_id_is_read_as_the_hooks_read_it(httpserver, new_client, headers, expected):
    seen = []
    base = httpserver.url_for("").rstrip("/")
    client = new_client(api_url=base, proxy_url=base, timeout=5, hooks={"response": [seen.append]})
    body = json.dumps(TENANT)
    httpserver.expect_request("/api/v1/tenants/t1").respond_with_response(
        Response(body, headers=headers, content_type="application/json")
    )
    assert client.tenants.get("t1")._request_id == seen[-1].request_id == expected


def test_the_id_cannot_be_set_and_copies_do_not_carry_it(on_emulator):
    record = on_emulator().tenants.create("Acme")
    noted = record._request_id
    forgeries = [
        lambda: setattr(record, "_request_id", "req_0"),
        lambda: object.__setattr__(record, "_request_id", "req_0"),
        lambda: delattr(record, "_request_id"),
    ]
    for forge in forgeries:
        with pytest.raises(AttributeError):
            forge()
    # A copy is a record the application made: equal, without the id.
    for made in (copy.copy(record), copy.deepcopy(record), record.model_copy(), pickle.loads(pickle.dumps(record))):
        assert made == record and made._request_id is None
    assert record._request_id == noted

    class Mine(Tenant):  # a subclass's instances have a __dict__, which cannot shadow the id
        pass

    mine = Mine(**TENANT)
    mine.__dict__["_request_id"] = "req_0"
    assert mine._request_id is None


def test_the_id_goes_with_its_record(on_emulator):
    client = on_emulator()
    # A record in a cycle is released by the collector, which clears its weak references first.
    job = client.training.create("sft")
    job.config["self"] = job
    gone = weakref.ref(job)
    del job
    gc.collect()
    assert gone() is None
    # Released records' memory is reused by records made by hand: none may inherit an id.
    for _ in range(20):
        made = client.tenants.create("Acme")
        assert made._request_id is not None
        del made
        assert Tenant(**TENANT)._request_id is None


class HandlerReplaced(KorvaneClient):
    def _handle_response(self, response, raw=False):
        return super()._handle_response(response, raw)


class RequestReplaced(KorvaneClient):
    def _request(self, *args, **kwargs):
        return super()._request(*args, **kwargs)


# A replaced _handle_response still reads the answer the engine holds; a replaced _request hands back
# only a decoded answer, which names no request.
@pytest.mark.parametrize(("cls", "expected"), [(HandlerReplaced, "req-wire"), (RequestReplaced, None)])
def test_replaced_seams(httpserver, cls, expected):
    httpserver.expect_request("/api/v1/tenants/t1").respond_with_response(
        Response(json.dumps(TENANT), headers={"X-Request-Id": "req-wire"}, content_type="application/json")
    )
    base = httpserver.url_for("").rstrip("/")
    with cls(api_key="sk-test", api_url=base, proxy_url=base, max_retries=1) as client:
        assert client.tenants.get("t1")._request_id == expected
