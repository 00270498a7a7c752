"""The asyncio client: the blocking client's surface, awaited.

``AsyncKorvane`` (also ``AsyncKorvaneClient``) takes the configuration of ``KorvaneClient``; every
operation is a coroutine with the blocking operation's parameters, checks, answers and errors::

    async with AsyncKorvane(api_key="...") as client:
        completion = await client.chat.completions.create(model="m", messages=[...])
        async for chunk in await client.chat.completions.create(model="m", messages=[...], stream=True):
            ...

How it is built, and the seams a subclass or a test may replace: see korvane_sdk._aio.
"""

from ._aio import (
    AsyncChat,
    AsyncChatCompletions,
    AsyncChatCompletionStream,
    AsyncFeedbackManager,
    AsyncKorvane,
    AsyncKorvaneClient,
    AsyncTenantManager,
    AsyncTrainingManager,
)

for _public in (
    AsyncChat,
    AsyncChatCompletions,
    AsyncChatCompletionStream,
    AsyncFeedbackManager,
    AsyncKorvane,
    AsyncTenantManager,
    AsyncTrainingManager,
):
    _public.__module__ = __name__

__all__ = ["AsyncKorvane", "AsyncKorvaneClient", "AsyncChatCompletionStream"]
