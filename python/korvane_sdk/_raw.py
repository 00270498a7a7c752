"""Raw answers: ``client.with_raw_response.<namespace>.<operation>(...)`` gives a ``RawResponse``.

The view runs the operation on a copy of the client (``with_options``: same settings, same
connections) that has one more response hook, which notes each answer in a context variable set
for this call only; the answer of the last attempt is the call's. So the call path is the usual
one, and clients that never ask for raw answers pay nothing for them. The operation's result is
made as usual and handed out by ``parse()``.
"""

from __future__ import annotations

from contextvars import ContextVar
from typing import Any, Optional

from ._hooks import HookResponse

# The answers of the raw call in progress in this context (thread or task), else None.
_answers: ContextVar[list[HookResponse] | None] = ContextVar("korvane_sdk_raw_answers", default=None)


def note_answer(seen: HookResponse) -> None:
    """The response hook of the view's client copy."""
    answers = _answers.get()
    if answers is not None:
        answers.append(seen)


class RawResponse:
    """A successful call's answer: ``status_code``, ``headers``, ``request_id`` (its ``X-Request-Id``),
    ``elapsed`` (seconds until its headers arrived) and ``parse()``, the operation's usual result."""

    __slots__ = ("status_code", "headers", "request_id", "elapsed", "_result")

    def __init__(self, answer: HookResponse, result: Any) -> None:
        self.status_code = answer.status_code
        self.headers = answer.headers
        self.request_id = answer.request_id
        self.elapsed = answer.elapsed
        self._result = result

    def parse(self) -> Any:
        """What the operation returns when called without ``with_raw_response``."""
        return self._result

    def __repr__(self) -> str:
        return f"RawResponse(status_code={self.status_code}, request_id={self.request_id!r})"


def _lazy(name: str, kwargs: dict[str, Any]) -> bool:
    """Operations whose result sends later (streams, page iterators) have no one answer to give."""
    return name.startswith("iter") or bool(kwargs.get("stream"))


def _refuse(path: tuple[str, ...]) -> None:
    raise TypeError(
        f"with_raw_response.{'.'.join(path)}() has no single answer: a stream sends on its first pull and "
        "a page iterator once per page; read stream.request_id, or register a response hook"
    )


def _made(answers: list[HookResponse], result: Any) -> RawResponse:
    if not answers:  # a replaced _request answered without the session
        raise RuntimeError("with_raw_response saw no answer: this client's _request is replaced")
    return RawResponse(answers[-1], result)


class RawView:
    """``client.with_raw_response``: the client's namespaces and operations, each operation giving a
    ``RawResponse`` (awaited on an ``AsyncKorvane``). Holds the client copy it runs the calls on."""

    __slots__ = ("_client", "_path")

    def __init__(self, client: Any, path: tuple[str, ...] = ()) -> None:
        self._client = client
        self._path = path

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        target = self._client
        for part in self._path:
            target = getattr(target, part)
        target = getattr(target, name)  # an unknown name fails here, as on the client
        path = (*self._path, name)
        if not callable(target):
            return RawView(self._client, path)
        if self._client._call_extras.awaited:

            async def call_awaited(*args: Any, **kwargs: Any) -> RawResponse:
                if _lazy(name, kwargs):
                    _refuse(path)
                answers: list[HookResponse] = []
                token = _answers.set(answers)
                try:
                    result = await target(*args, **kwargs)
                finally:
                    _answers.reset(token)
                return _made(answers, result)

            return call_awaited

        def call(*args: Any, **kwargs: Any) -> RawResponse:
            if _lazy(name, kwargs):
                _refuse(path)
            answers: list[HookResponse] = []
            token = _answers.set(answers)
            try:
                result = target(*args, **kwargs)
            finally:
                _answers.reset(token)
            return _made(answers, result)

        return call

    def __repr__(self) -> str:
        return f"<with_raw_response{''.join('.' + part for part in self._path)}>"


def view(client: Any) -> RawView:
    """``client.with_raw_response``: a view on a copy of the client that notes each answer."""
    hooks = client.hooks
    copy = client.with_options(hooks={"request": hooks["request"], "response": (*hooks["response"], note_answer)})
    return RawView(copy)
