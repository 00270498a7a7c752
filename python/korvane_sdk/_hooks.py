"""What a client adds to each attempt: its hooks, default headers and query, and a rotating API key.

The call engine (whole calls and streams, both clients) hands each attempt to ``send`` (blocking) or
``asend`` (asyncio) here only when the client has something to add (``client._call_extras`` is not
None): with nothing registered an attempt costs one attribute check. Both functions share the rules
below; only the waiting differs.

Per attempt, in this order: the call's planned headers are copied (a hook's additions never carry
over to the next attempt); ``default_headers`` are laid over them, except ``Authorization`` while the
client has an API key; a callable ``api_key`` is asked for this attempt's key; ``default_query`` is
laid under the call's own query (the call's own value wins); the request hooks see the request and
may change its headers; the session sends it; the response hooks see the answer. A hook, or an
``api_key`` callable, that raises fails the call with its exception and nothing more is sent; an
answer already received is closed first.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping
from types import MappingProxyType
from typing import Any, Optional

_HOOK_EVENTS = ("request", "response")
# Headers the SDK sets itself, by lower-case name: a default header of one of these names replaces
# the SDK's value under the SDK's spelling (so the multipart upload still finds Content-Type to drop).
_OWN_HEADERS = {"content-type": "Content-Type", "user-agent": "User-Agent", "authorization": "Authorization"}


class HookRequest:
    """One attempt's request as the request hooks see it.

    ``headers`` is this attempt's own dict: a hook may add, change or remove entries and the attempt
    sends them. ``method``, ``url`` and ``params`` are for reading; ``attempt`` counts from 0.
    """

    __slots__ = ("method", "url", "headers", "params", "attempt")

    def __init__(self, method: str, url: str, headers: dict[str, str], params: Any, attempt: int) -> None:
        self.method = method
        self.url = url
        self.headers = headers
        self.params = params
        self.attempt = attempt

    def __repr__(self) -> str:
        return f"HookRequest(method={self.method!r}, url={self.url!r}, attempt={self.attempt})"


class HookResponse:
    """One attempt's answer as the response hooks see it (for a stream: its status and headers, the
    body not yet read). ``request_id`` is the answer's ``X-Request-Id`` header (None without one)."""

    __slots__ = ("status_code", "headers", "elapsed", "request", "request_id")

    def __init__(self, status_code: int, headers: Any, elapsed: float, request: HookRequest) -> None:
        self.status_code = status_code
        self.headers = headers
        self.elapsed = elapsed
        self.request = request
        self.request_id = _request_id(headers)

    def __repr__(self) -> str:
        return (
            f"HookResponse(status_code={self.status_code}, request_id={self.request_id!r}, elapsed={self.elapsed:.3f})"
        )


def _request_id(headers: Any) -> str | None:
    try:
        value = headers.get("X-Request-Id")
    except Exception:  # an answer of a replaced session without readable headers names none
        return None
    return value if isinstance(value, str) else None


class CallExtras:
    """What a client adds to each attempt; made once per client (see ``configure``), never changed.

    Holds the client's hooks (tuples), its default headers and query (read-only copies) and whether
    the client is an asyncio one. It holds no reference to the client (the engine passes the client)."""

    __slots__ = ("request_hooks", "response_hooks", "default_headers", "default_query", "awaited")

    def __init__(
        self,
        hooks: Mapping[str, tuple[Callable[..., Any], ...]],
        headers: Mapping[str, str],
        query: Mapping[str, Any],
        awaited: bool,
    ) -> None:
        self.request_hooks = hooks.get("request", ())
        self.response_hooks = hooks.get("response", ())
        self.default_headers = headers
        self.default_query = query
        self.awaited = awaited


def _check_hooks(hooks: Any) -> dict[str, tuple[Callable[..., Any], ...]]:
    if hooks is None:
        return {}
    if not isinstance(hooks, Mapping):
        raise TypeError(
            f"hooks must be a mapping of 'request'/'response' to lists of callables, not {type(hooks).__name__}"
        )
    checked: dict[str, tuple[Callable[..., Any], ...]] = {}
    for event, callables in hooks.items():
        if event not in _HOOK_EVENTS:
            raise ValueError(f"unknown hook event {event!r}: expected 'request' or 'response'")
        if callable(callables):
            callables = [callables]
        if isinstance(callables, (str, bytes)) or not hasattr(callables, "__iter__"):
            raise TypeError(f"hooks[{event!r}] must be a callable or a list of callables")
        functions = tuple(callables)
        for function in functions:
            if not callable(function):
                raise TypeError(f"hooks[{event!r}] holds {type(function).__name__}, which is not callable")
        if functions:
            checked[event] = functions
    return checked


def _check_headers(headers: Any) -> dict[str, str]:
    if headers is None:
        return {}
    if not isinstance(headers, Mapping):
        raise TypeError(f"default_headers must be a mapping of str to str, not {type(headers).__name__}")
    checked: dict[str, str] = {}
    for name, value in headers.items():
        if not isinstance(name, str) or not isinstance(value, str):
            raise TypeError(f"default_headers must map str to str, got {name!r}: {type(value).__name__}")
        if not name or any(c in name for c in "\r\n:") or any(c in value for c in "\r\n"):
            raise ValueError(
                f"default_headers holds an invalid header {name!r}: names and values may not carry CR or LF"
            )
        checked[_OWN_HEADERS.get(name.lower(), name)] = value
    return checked


def _check_query(query: Any) -> dict[str, Any]:
    if query is None:
        return {}
    if not isinstance(query, Mapping):
        raise TypeError(f"default_query must be a mapping of str to query values, not {type(query).__name__}")
    for name, value in query.items():
        if not isinstance(name, str):
            raise TypeError(f"default_query keys must be str, got {type(name).__name__}")
        if not isinstance(value, (str, int, float)) or isinstance(value, bool):
            raise TypeError(f"default_query[{name!r}] must be a str, int or float, not {type(value).__name__}")
    return dict(query)


def configure(client: Any, api_key: Any, hooks: Any, default_headers: Any, default_query: Any, awaited: bool) -> None:
    """Checks and sets the client's hooks, default headers and query; everything is checked before
    anything is set, so a bad value leaves nothing half-made (and nothing is ever sent)."""
    if api_key is not None and not isinstance(api_key, str) and not callable(api_key):
        raise TypeError(f"api_key must be a str or a callable giving one, not {type(api_key).__name__}")
    checked_hooks = _check_hooks(hooks)
    headers = _check_headers(default_headers)
    query = _check_query(default_query)
    client.hooks = MappingProxyType({event: checked_hooks.get(event, ()) for event in _HOOK_EVENTS})
    client.default_headers = MappingProxyType(headers)
    client.default_query = MappingProxyType(query)
    rotating = callable(api_key) and not isinstance(api_key, str)
    if checked_hooks or headers or query or rotating:
        client._call_extras = CallExtras(checked_hooks, client.default_headers, client.default_query, awaited)
    else:
        client._call_extras = None


def portable(client: Any) -> dict[str, Any]:
    """The hooks, default headers and query as plain values, for pickling and with_options()."""
    return {
        "hooks": {event: list(functions) for event, functions in client.hooks.items() if functions},
        "default_headers": dict(client.default_headers),
        "default_query": dict(client.default_query),
    }


def _prepare(extras: CallExtras, client: Any, headers: Any, params: Any) -> tuple[dict[str, str], Any, Any]:
    """This attempt's headers and query, and the key source to ask (None: the plan's key stands)."""
    headers = dict(headers)
    key = client.api_key
    has_key = isinstance(key, str) and key != ""
    for name, value in extras.default_headers.items():
        if name == "Authorization" and has_key:
            continue  # the client's own key wins over a default Authorization
        headers[name] = value
    if extras.default_query:
        params = {**extras.default_query, **params} if isinstance(params, Mapping) else dict(extras.default_query)
    source = key if callable(key) and not isinstance(key, str) else None
    return headers, params, source


def _use_key(headers: dict[str, str], key: Any) -> None:
    if not isinstance(key, str):
        raise TypeError(f"the api_key callable returned {type(key).__name__}, expected a non-empty str")
    if not key or "\r" in key or "\n" in key:
        raise ValueError("the api_key callable returned an empty key or one with CR or LF")
    headers["Authorization"] = "Bearer " + key


def _close(response: Any) -> None:
    try:
        response.close()
    except Exception:
        pass  # the hook's error is the one to report


def send(extras: CallExtras, client: Any, attempt: int, keywords: dict[str, Any]) -> Any:
    """One attempt of a blocking call: ``client._session.request(**keywords)`` with the extras."""
    headers, params, source = _prepare(extras, client, keywords["headers"], keywords.get("params"))
    if source is not None:
        _use_key(headers, source())
    keywords["headers"] = headers
    if "params" in keywords:
        keywords["params"] = params
    request = HookRequest(keywords["method"], keywords["url"], headers, params, attempt)
    for hook in extras.request_hooks:
        hook(request)
    started = time.perf_counter()
    response = client._session.request(**keywords)
    if extras.response_hooks:
        seen = HookResponse(response.status_code, response.headers, time.perf_counter() - started, request)
        try:
            for hook in extras.response_hooks:
                hook(seen)
        except BaseException:
            _close(response)
            raise
    return response


async def _await_if(value: Any) -> Any:
    return await value if hasattr(value, "__await__") else value


async def _aclose(response: Any) -> None:
    try:
        close = getattr(response, "aclose", None) or response.close
        await _await_if(close())
    except Exception:
        pass  # the hook's error is the one to report


async def asend(extras: CallExtras, client: Any, attempt: int, keywords: dict[str, Any]) -> Any:
    """One attempt of an asyncio call, as ``send``; a hook or key source may be sync or async."""
    headers, params, source = _prepare(extras, client, keywords["headers"], keywords.get("params"))
    if source is not None:
        _use_key(headers, await _await_if(source()))
    keywords["headers"] = headers
    if "params" in keywords:
        keywords["params"] = params
    request = HookRequest(keywords["method"], keywords["url"], headers, params, attempt)
    for hook in extras.request_hooks:
        await _await_if(hook(request))
    started = time.perf_counter()
    response = await _await_if(client._session.request(**keywords))
    if extras.response_hooks:
        seen = HookResponse(response.status_code, response.headers, time.perf_counter() - started, request)
        try:
            for hook in extras.response_hooks:
                await _await_if(hook(seen))
        except BaseException:
            await _aclose(response)
            raise
    return response


def attempt(extras: CallExtras, client: Any, attempt: int, keywords: dict[str, Any]) -> Any:
    """The engine's one entry: ``send``'s response, or for an asyncio client ``asend``'s coroutine."""
    if extras.awaited:
        return asend(extras, client, attempt, keywords)
    return send(extras, client, attempt, keywords)
