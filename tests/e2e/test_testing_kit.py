"""korvane_sdk.testing: the stand-in as users get it, through the pytest plugin and the context manager."""

import asyncio

import pytest
from korvane_sdk import exceptions as ex
from korvane_sdk.http import ChunkedEncodingError
from korvane_sdk.testing import LocalPlatform

MESSAGES = [{"role": "user", "content": "Stream a short greeting please"}]


def test_plugin_client_starts_from_empty_state(korvane_client, korvane_platform):
    assert korvane_client.api_url == korvane_platform.url
    assert korvane_client.tenants.list() == []
    korvane_client.tenants.create(name="Left behind")
    assert korvane_platform.requests("/api/v1/tenants") == 2


def test_plugin_state_was_reset_between_tests(korvane_client, korvane_platform):
    assert korvane_client.tenants.list() == []  # the tenant of the test before is gone
    assert korvane_platform.counters() == {"requests": 1, "by_path": {"/api/v1/tenants": 1}}


def test_faults(korvane_client, korvane_platform):
    korvane_platform.inject_rate_limit(times=1, retry_after="7")
    with pytest.raises(ex.RateLimitError) as limited:
        korvane_client.list_models()
    assert limited.value.retry_after == 7
    korvane_platform.inject_server_error(status=502)
    with pytest.raises(ex.ServerError) as failed:
        korvane_client.list_models()
    assert failed.value.http_status == 502
    model = korvane_client.list_models()[0].id  # both faults used up

    korvane_platform.inject_drop_stream(after_chunks=1)
    stream = korvane_client.chat.completions.create(model=model, messages=MESSAGES, stream=True)
    with pytest.raises(ChunkedEncodingError):
        list(stream)

    korvane_platform.inject_delay(5.0, times=-1)
    korvane_platform.clear_faults()
    with korvane_platform.client(timeout=2) as quick:
        assert quick.list_models()  # no delay left


async def starts_empty_and_leaves_a_tenant(client, platform):
    assert await client.tenants.list() == []  # whatever the test before left is gone
    await client.tenants.create(name="Left behind")
    assert [tenant.name async for tenant in client.tenants.iter()] == ["Left behind"]
    assert platform.requests("/api/v1/tenants") == 3


# The same fixture under each plugin that runs coroutine tests, one after the other: each starts empty.
@pytest.mark.asyncio
async def test_async_fixture_under_pytest_asyncio(korvane_async_client, korvane_platform):
    await starts_empty_and_leaves_a_tenant(korvane_async_client, korvane_platform)


@pytest.mark.anyio
async def test_async_fixture_under_anyio(korvane_async_client, korvane_platform):
    await starts_empty_and_leaves_a_tenant(korvane_async_client, korvane_platform)


def test_async_fixture_in_a_plain_test(korvane_async_client, korvane_platform):
    # The loop the client ran on is closed before the fixture closes the client.
    asyncio.run(starts_empty_and_leaves_a_tenant(korvane_async_client, korvane_platform))


def test_context_manager_stops_the_stand_in():
    with LocalPlatform(admin_key="sk-own", job_seconds=0.1) as platform:
        with platform.client() as client:
            assert client.api_key == "sk-own" and client.list_models()
        process = platform._process
    assert process.poll() is not None
    platform.stop()  # again: nothing


def test_emulator_path_prefers_the_copy_installed_beside_the_package(tmp_path, monkeypatch):
    from korvane_sdk import testing

    # As `pip install --target site` lays it out, while the interpreter has its own copy too.
    own = tmp_path / "site" / "bin" / "korvane-emulator"
    own.parent.mkdir(parents=True)
    own.write_bytes(b"")
    monkeypatch.delenv("KORVANE_EMULATOR", raising=False)
    monkeypatch.setattr(testing, "__file__", str(tmp_path / "site" / "korvane_sdk" / "testing.py"))
    assert testing.emulator_path() == str(own)
    monkeypatch.setenv("KORVANE_EMULATOR", "/elsewhere/korvane-emulator")
    assert testing.emulator_path() == "/elsewhere/korvane-emulator"
