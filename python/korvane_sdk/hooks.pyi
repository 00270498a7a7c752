from collections.abc import Mapping
from typing import Any

__all__ = ["HookRequest", "HookResponse", "RawResponse"]

class HookRequest:
    """One attempt's request as the request hooks see it.

    ``headers`` is this attempt's own dict: a hook may add, change or remove entries and the attempt
    sends them. ``method``, ``url`` and ``params`` are for reading; ``attempt`` counts from 0.
    """

    method: str
    url: str
    headers: dict[str, str]
    params: Any
    attempt: int
    def __init__(self, method: str, url: str, headers: dict[str, str], params: Any, attempt: int) -> None: ...

class HookResponse:
    """One attempt's answer as the response hooks see it (for a stream: its status and headers, the
    body not yet read). ``request_id`` is the answer's ``X-Request-Id`` header (None without one)."""

    status_code: int
    headers: Mapping[str, str]
    elapsed: float
    request: HookRequest
    request_id: str | None
    def __init__(self, status_code: int, headers: Any, elapsed: float, request: HookRequest) -> None: ...

class RawResponse:
    """A successful call's answer: ``status_code``, ``headers``, ``request_id`` (its ``X-Request-Id``),
    ``elapsed`` (seconds until its headers arrived) and ``parse()``, the operation's usual result."""

    status_code: int
    headers: Mapping[str, str]
    request_id: str | None
    elapsed: float
    def __init__(self, answer: HookResponse, result: Any) -> None: ...
    def parse(self) -> Any:
        """What the operation returns when called without ``with_raw_response``."""
