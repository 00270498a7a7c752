"""Batch runs against a loopback chat server, through the blocking run() and the awaited arun()."""

import asyncio

import pytest
from chat_server import ChatServer
from korvane_sdk import Korvane
from korvane_sdk.aio import AsyncKorvane
from korvane_sdk.batch import arun, run


@pytest.fixture
def chat_server():
    servers = []

    def start(**options):
        server = ChatServer(**options)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


@pytest.fixture(params=["run", "arun"])
def batch_run(request):
    """batch_run(server_url, requests, output, **options) -> BatchSummary, blocking or awaited."""

    def blocking(url, requests, output, **options):
        client = Korvane(api_key="k", api_url=url, proxy_url=url, timeout=10)
        return run(requests, output, client=client, **options)

    def awaited(url, requests, output, **options):
        async def go():
            async with AsyncKorvane(api_key="k", api_url=url, proxy_url=url, timeout=10) as client:
                return await arun(requests, output, client=client, **options)

        return asyncio.run(go())

    return blocking if request.param == "run" else awaited
