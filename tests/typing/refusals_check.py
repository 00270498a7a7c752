"""Calls the stubs must refuse: checked by `./run lint` with mypy --strict and pyright, never run.

Each line carries the error it must raise as an ignore comment; both checkers report an ignore
comment that silences nothing (mypy's warn_unused_ignores, pyright's
reportUnnecessaryTypeIgnoreComment), so a stub that goes blind (an `Any` where a type was) fails.
"""

from korvane_sdk import KorvaneClient
from korvane_sdk.aio import AsyncKorvane
from korvane_sdk.testing import LocalPlatform


def blocking(client: KorvaneClient) -> None:
    copy = client.with_options(timeout=1)
    copy.chat.completions.create(model="m")  # type: ignore[call-overload]
    copy.tenants.get(42)  # type: ignore[arg-type]
    copy.training.upload_dataset("d1", b"{}\n")  # type: ignore[arg-type]
    client.feedback.create("r1", 1, tags="good")  # type: ignore[arg-type]
    for chunk in client.chat.completions.create(model="m", messages=[], stream=True):
        _ = chunk.choices[0]["delta"]["text"]  # type: ignore[typeddict-item]
    _ = client.training.get_metrics("j1")["loss"]  # type: ignore[typeddict-item]
    _ = client.tenants.get_usage("t1")["tokens"]  # type: ignore[typeddict-item]


async def awaited(client: AsyncKorvane) -> None:
    copy = client.with_options(timeout=1)
    await copy.chat.completions.create(model="m")  # type: ignore[call-overload]
    await copy.tenants.get(42)  # type: ignore[arg-type]


def testing_kit(platform: LocalPlatform) -> None:
    platform.client(timeout="2")  # type: ignore[arg-type]
    platform.client(retries=2)  # type: ignore[call-arg]
