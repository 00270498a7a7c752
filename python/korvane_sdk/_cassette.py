"""Record and replay of a client's exchanges (korvane_sdk.testing.cassette): tests that run offline.

A cassette sits at the client's ``_session`` seam, so it sees every request of the client whatever
carries it (libcurl here, which Python-level HTTP recorders cannot see): a recording session wraps
the client's own and writes each exchange down; a replaying session answers from the file and
sends nothing. Requests are matched by method, path (with the query) and body; the same request
asked again is answered by its next recording, in the order they were made.

The file is JSON, one entry per exchange::

    {"version": 1, "interactions": [
      {"request": {"method": "POST", "path": "/v1/chat/completions", "query": {}, "body": {...}},
       "response": {"status": 200, "headers": {...}, "json": {...}}},
      {"request": {...},
       "response": {"status": 200, "headers": {...}, "ended": true,
                    "lines": [{"delay": 0.0021, "line": "data: {...}"}, ...]}}]}

A body is kept as JSON where it is JSON ("json"), else as text ("text"); a streamed answer as its
lines, each with the seconds it came after the one before (a line that is not UTF-8 as "base64";
"ended" says whether the body's end was read, or the reader closed it before). Query values are
kept as sent (text). Uploads are written down by file name and size (and their sha256 and text
when small), never by their content otherwise. Request headers are never written,
so neither is the Authorization header; the key of each client the cassette serves, and every
member named "api_key" (tenants' keys), are replaced by "<redacted>" before anything is written.
"""

from __future__ import annotations

import base64
import hashlib
import importlib
import json
import os
import time
from collections.abc import AsyncIterator, Iterator, Mapping
from datetime import date, datetime
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, TypeVar
from urllib.parse import parse_qsl, urlsplit

if TYPE_CHECKING:
    from .aio import AsyncKorvane
    from .client import KorvaneClient

_Client = TypeVar("_Client")
MODES = ("none", "once", "new_episodes", "all")
REDACTED = "<redacted>"
_FORMAT_VERSION = 1
_SMALL_UPLOAD = 64 * 1024  # uploads up to this size are written down with their text and hash
_UNKEPT_HEADERS = frozenset({"set-cookie"})


class CassetteError(Exception):
    """A cassette cannot be used as asked (no file to replay, a stream replayed past its recording)."""


class CassetteMismatch(CassetteError):
    """A request that the cassette holds no (unplayed) recording of, while it may not record."""


# ---- what a request is matched by -----------------------------------------------------------------


def _plain(value: Any) -> Any:
    """A value as its JSON form would give it back (so recorded and asked requests compare alike)."""
    if isinstance(value, (datetime, date)):
        return value.isoformat()
    if isinstance(value, Mapping):
        return {str(key): _plain(member) for key, member in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    if hasattr(value, "model_dump"):
        return _plain(value.model_dump())
    return str(value)


def _on_the_wire(value: Any) -> Any:
    """A query value as the HTTP layer sends it: its str(), each element of a list (None left out)."""
    if isinstance(value, (list, tuple)):
        return [str(item) for item in value if item is not None]
    return str(value)


def _query(url: str, params: Any) -> dict[str, Any]:
    query: dict[str, Any] = {}
    for name, value in parse_qsl(urlsplit(url).query, keep_blank_values=True):
        query[name] = value
    pairs = params.items() if isinstance(params, Mapping) else params or ()
    for name, value in pairs:
        if value is not None:
            query[str(name)] = _on_the_wire(value)
    return dict(sorted(query.items()))


def _upload(source: Any) -> dict[str, Any]:
    """What is written down of one uploaded file: its name and size, and when small its text."""
    described: dict[str, Any] = {}
    name = getattr(source, "name", None)
    if isinstance(name, (str, bytes, os.PathLike)):
        described["name"] = os.path.basename(os.fsdecode(name))
    try:
        start = source.tell()
        source.seek(0, os.SEEK_END)
        size = source.tell() - start
        data = b""
        if size <= _SMALL_UPLOAD:
            source.seek(start)
            data = source.read(size)
        source.seek(start)  # the upload sends the file from where it stood
    except (AttributeError, OSError, ValueError):
        return described
    described["size"] = size
    if size <= _SMALL_UPLOAD and isinstance(data, bytes):
        described["sha256"] = hashlib.sha256(data).hexdigest()
        try:
            described["text"] = data.decode()
        except UnicodeDecodeError:
            pass
    return described


def _request_of(arguments: Mapping[str, Any]) -> dict[str, Any]:
    url = str(arguments.get("url", ""))
    request: dict[str, Any] = {
        "method": str(arguments.get("method", "GET")).upper(),
        "path": urlsplit(url).path or "/",
        "query": _query(url, arguments.get("params")),
    }
    if arguments.get("json") is not None:
        request["body"] = _plain(arguments["json"])
    files = arguments.get("files")
    if isinstance(files, Mapping) and files:
        request["files"] = {str(field): _upload(source) for field, source in files.items()}
    return request


def _describe(request: Mapping[str, Any]) -> str:
    query = "&".join(f"{name}={value}" for name, value in request.get("query", {}).items())
    text = f"{request['method']} {request['path']}" + (f"?{query}" if query else "")
    if "body" in request:
        body = json.dumps(request["body"], ensure_ascii=False)
        text += " with body " + (body if len(body) <= 300 else body[:300] + "...")
    return text


def _matching(recorded: Mapping[str, Any], asked: Mapping[str, Any]) -> bool:
    files = recorded.get("files")
    return (
        recorded.get("method") == asked["method"]
        and recorded.get("path") == asked["path"]
        and recorded.get("query", {}) == asked["query"]
        and recorded.get("body") == asked.get("body")
        and (files is None) == ("files" not in asked)
        and (files is None or _same_files(files, asked["files"]))
    )


def _same_files(recorded: Mapping[str, Any], asked: Mapping[str, Any]) -> bool:
    # The text is for reading; the name, size and hash decide (an edited text does not break a match).
    keys = ("name", "size", "sha256")
    return recorded.keys() == asked.keys() and all(
        {k: recorded[field].get(k) for k in keys} == {k: asked[field].get(k) for k in keys} for field in recorded
    )


# ---- answers, recorded and replayed ---------------------------------------------------------------


class _Headers(Mapping[str, str]):
    """Recorded headers, looked up by name without regard to case (as the HTTP layer's are)."""

    def __init__(self, headers: Mapping[str, str]) -> None:
        self._items = dict(headers)
        self._lower = {name.lower(): value for name, value in self._items.items()}

    def __getitem__(self, name: str) -> str:
        return self._lower[name.lower()]

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name.lower() in self._lower

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return repr(self._items)


def _body_of(text: str) -> dict[str, Any]:
    if text:
        try:
            return {"json": json.loads(text)}
        except ValueError:
            pass
    return {"text": text}


def _headers_of(response: Any) -> dict[str, str]:
    headers = getattr(response, "headers", None) or {}
    return {str(name): str(value) for name, value in headers.items() if str(name).lower() not in _UNKEPT_HEADERS}


def _line_of(entry: Mapping[str, Any]) -> bytes:
    if "base64" in entry:
        return base64.b64decode(entry["base64"])
    return str(entry.get("line", "")).encode()


class ReplayedResponse:
    """An answer played back from a cassette: what the client reads of an HTTP layer's response."""

    def __init__(self, recorded: Mapping[str, Any], url: str, cassette: Cassette) -> None:
        self._recorded = recorded
        self._cassette = cassette
        self.url = url
        self.status_code: int = int(recorded.get("status", 200))
        self.reason = ""
        self.headers = _Headers(recorded.get("headers", {}))
        self.closed = False

    @property
    def ok(self) -> bool:
        return not 400 <= self.status_code <= 599

    @property
    def text(self) -> str:
        recorded = self._recorded
        if "json" in recorded:
            return json.dumps(recorded["json"], ensure_ascii=False)
        if "lines" in recorded:
            return b"".join(line + b"\n" for line in self._lines()).decode("utf-8", "replace")
        return str(recorded.get("text", ""))

    @property
    def content(self) -> bytes:
        return self.text.encode()

    def json(self) -> Any:
        return json.loads(self.text)

    def _lines(self) -> list[bytes]:
        return [_line_of(entry) for entry in self._recorded.get("lines", [])]

    def _cut_short(self) -> CassetteError:
        return CassetteError(
            f"the recorded stream of {self.url} was closed by its reader after {len(self._lines())} lines; "
            "this test reads further: record it again"
        )

    def iter_lines(self, decode_unicode: bool = False) -> Iterator[Any]:
        realtime = self._cassette.realtime
        for entry in self._recorded.get("lines", []):
            if realtime and entry.get("delay"):
                time.sleep(float(entry["delay"]))
            line = _line_of(entry)
            yield line.decode("utf-8", "replace") if decode_unicode else line
        if self._recorded.get("ended") is False:
            raise self._cut_short()

    async def aiter_lines(self) -> AsyncIterator[bytes]:
        import asyncio

        realtime = self._cassette.realtime
        for entry in self._recorded.get("lines", []):
            if realtime and entry.get("delay"):
                await asyncio.sleep(float(entry["delay"]))
            yield _line_of(entry)
        if self._recorded.get("ended") is False:
            raise self._cut_short()

    async def aread(self) -> bytes:
        return self.content

    def close(self) -> None:
        self.closed = True

    async def aclose(self) -> None:
        self.closed = True

    def __enter__(self) -> ReplayedResponse:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<ReplayedResponse [{self.status_code}]>"


class _RecordingStream:
    """A streamed answer read through while its lines and their delays are written down."""

    def __init__(self, response: Any, recorded: dict[str, Any]) -> None:
        self._response = response
        self._recorded = recorded
        self._last = time.monotonic()
        self.status_code = response.status_code
        self.headers = response.headers
        self.url = getattr(response, "url", "")

    def _keep(self, line: Any) -> None:
        now = time.monotonic()
        entry: dict[str, Any] = {"delay": round(now - self._last, 6)}
        try:
            entry["line"] = line.decode() if isinstance(line, bytes) else str(line)
        except UnicodeDecodeError:  # kept exactly, as the reader must see it again
            entry["base64"] = base64.b64encode(line).decode("ascii")
        self._recorded["lines"].append(entry)
        self._last = now

    def iter_lines(self) -> Iterator[Any]:
        for line in self._response.iter_lines():
            self._keep(line)
            yield line
        self._recorded["ended"] = True

    async def aiter_lines(self) -> AsyncIterator[Any]:
        async for line in self._response.aiter_lines():
            self._keep(line)
            yield line
        self._recorded["ended"] = True

    def close(self) -> None:
        self._response.close()

    async def aclose(self) -> None:
        await self._response.aclose()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._response, name)


# ---- the sessions at the client's seam ------------------------------------------------------------


class _CassetteSession:
    """The client's session while a cassette serves it: replays, or records through the real one."""

    def __init__(self, cassette: Cassette, inner: Any) -> None:
        self._cassette = cassette
        self._inner = inner

    def request(self, **arguments: Any) -> Any:
        asked = _request_of(arguments)
        replayed = self._cassette._replay(asked, str(arguments.get("url", "")))
        if replayed is not None:
            return replayed
        response = self._inner.request(**arguments)
        recorded = self._cassette._add(asked)
        recorded.update(status=response.status_code, headers=_headers_of(response))
        if arguments.get("stream"):
            if response.ok:
                recorded.update(lines=[], ended=False)
                return _RecordingStream(response, recorded)
            # An error answer to a stream is read whole now and given as it will be replayed.
            try:
                recorded.update(_body_of(response.text))
            finally:
                response.close()
            return ReplayedResponse(recorded, str(arguments.get("url", "")), self._cassette)
        recorded.update(_body_of(response.text))
        return response

    def close(self) -> Any:
        return self._inner.close()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._inner, name)


class _AsyncCassetteSession(_CassetteSession):
    """As _CassetteSession for an AsyncKorvane: request() is awaited."""

    async def request(self, **arguments: Any) -> Any:
        asked = _request_of(arguments)
        replayed = self._cassette._replay(asked, str(arguments.get("url", "")))
        if replayed is not None:
            return replayed
        response = await self._inner.request(**arguments)
        recorded = self._cassette._add(asked)
        recorded.update(status=response.status_code, headers=_headers_of(response))
        if arguments.get("stream"):
            if response.ok:
                recorded.update(lines=[], ended=False)
                return _RecordingStream(response, recorded)
            try:
                await response.aread()
                recorded.update(_body_of(response.text))
            finally:
                await response.aclose()
            return ReplayedResponse(recorded, str(arguments.get("url", "")), self._cassette)
        await response.aread()
        recorded.update(_body_of(response.text))
        return response


# ---- the cassette ---------------------------------------------------------------------------------


class Cassette:
    """Recorded exchanges of clients, in a JSON file; see korvane_sdk.testing.cassette()."""

    def __init__(self, path: str | os.PathLike[str], mode: str = "once", *, realtime: bool = False) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))}, not {mode!r}")
        self.path = Path(path)
        self.mode = mode
        self.realtime = realtime
        exists = self.path.is_file()
        if mode == "none" and not exists:
            raise CassetteError(f"no cassette at {self.path} to replay (record it with mode='once')")
        self.recording = mode in ("all", "new_episodes") or (mode == "once" and not exists)
        self.interactions: list[dict[str, Any]] = []
        if exists and mode != "all":
            self.interactions = _load(self.path)
        self._played = [False] * len(self.interactions)
        self._replaying = mode != "all"
        self._secrets: set[str] = set()
        self._changed = False

    # -- clients --

    def client(self, **options: Any) -> KorvaneClient:
        """A KorvaneClient (options as for it) whose requests this cassette records or replays."""
        from .client import KorvaneClient

        return self.attach(KorvaneClient(**self._options(options)))

    def async_client(self, **options: Any) -> AsyncKorvane:
        """An AsyncKorvane (options as for it) whose requests this cassette records or replays."""
        from .aio import AsyncKorvane

        return self.attach(AsyncKorvane(**self._options(options)))

    def attach(self, client: _Client) -> _Client:
        """Route `client`'s requests (a KorvaneClient or an AsyncKorvane, its later with_options()
        copies too) through this cassette; returns the client."""
        from .aio import AsyncKorvane

        core: Any = importlib.import_module("korvane_sdk._core")  # the extension has no stub
        target: Any = client
        key = getattr(target, "api_key", None)
        if isinstance(key, str) and len(key) >= 8:  # a shorter "key" would mangle ordinary text
            self._secrets.add(key)
        kind = _AsyncCassetteSession if isinstance(target, AsyncKorvane) else _CassetteSession
        # The client's own session from now on: close() closes it, with_options() copies share it.
        core._adopt_session(target, kind(self, target._session))
        return client

    def _options(self, options: dict[str, Any]) -> dict[str, Any]:
        # Replaying sends nothing, so a key need not be at hand (a test run without secrets).
        if not self.recording and "api_key" not in options and not os.environ.get("KORVANE_API_KEY"):
            options = {**options, "api_key": "sk-replayed"}
        return options

    # -- the sessions' side --

    def _replay(self, asked: dict[str, Any], url: str) -> ReplayedResponse | None:
        if self._replaying:
            # Secrets in the asked request are compared as they would have been written.
            redacted = self._redacted(asked)
            seen = 0
            for position, interaction in enumerate(self.interactions):
                if not _matching(interaction.get("request", {}), redacted):
                    continue
                seen += 1
                if not self._played[position]:
                    self._played[position] = True
                    return ReplayedResponse(interaction.get("response", {}), url, self)
            if not self.recording:
                raise CassetteMismatch(self._mismatch(asked, seen))
        return None

    def _mismatch(self, asked: dict[str, Any], seen: int) -> str:
        what = _describe(asked)
        if seen:
            return f"{self.path} holds {seen} recording(s) of {what}, all played already"
        recorded = "\n".join(f"  {_describe(i.get('request', {}))}" for i in self.interactions[:20])
        more = "\n  ..." if len(self.interactions) > 20 else ""
        return (
            f"{self.path} holds no recording of {what} (mode {self.mode!r}); it holds:\n{recorded or '  nothing'}{more}"
        )

    def _add(self, asked: dict[str, Any]) -> dict[str, Any]:
        recorded: dict[str, Any] = {}
        self.interactions.append({"request": asked, "response": recorded})
        self._played.append(True)
        self._changed = True
        return recorded

    # -- the file --

    def _redacted(self, value: Any) -> Any:
        if isinstance(value, str):
            for secret in self._secrets:
                value = value.replace(secret, REDACTED)
            return value
        if isinstance(value, dict):
            return {
                key: REDACTED if key == "api_key" and isinstance(member, str) else self._redacted(member)
                for key, member in value.items()
            }
        if isinstance(value, list):
            return [self._redacted(item) for item in value]
        return value

    def save(self) -> None:
        """Write the cassette (done on leaving its with block when something was recorded)."""
        document = {"version": _FORMAT_VERSION, "interactions": self._redacted(self.interactions)}
        self.path.parent.mkdir(parents=True, exist_ok=True)
        temporary = self.path.with_name(self.path.name + ".tmp")
        temporary.write_text(json.dumps(document, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
        os.replace(temporary, self.path)  # a reader never sees half a file
        self._changed = False

    @property
    def all_played(self) -> bool:
        """Whether every recorded exchange was asked for."""
        return all(self._played)

    def __enter__(self) -> Cassette:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc_val: BaseException | None, exc_tb: TracebackType | None
    ) -> None:
        if self.recording and (self._changed or self.mode == "all"):
            self.save()

    def __repr__(self) -> str:
        return f"Cassette({str(self.path)!r}, mode={self.mode!r}, interactions={len(self.interactions)})"


def _load(path: Path) -> list[dict[str, Any]]:
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
    except ValueError as error:
        raise CassetteError(f"{path} is not a cassette: {error}") from None
    if not isinstance(document, dict) or not isinstance(document.get("interactions"), list):
        raise CassetteError(f"{path} is not a cassette: no list of interactions")
    if document.get("version", _FORMAT_VERSION) != _FORMAT_VERSION:
        raise CassetteError(f"{path} is a cassette of version {document.get('version')!r}, not {_FORMAT_VERSION}")
    interactions: list[dict[str, Any]] = document["interactions"]
    return interactions


def cassette(path: str | os.PathLike[str], mode: str = "once", *, realtime: bool = False) -> Cassette:
    """A cassette at `path`: ``with cassette("answers.json") as tape: client = tape.client()``.

    mode: "once" (default) records when the file does not exist yet and only replays when it does;
    "none" only replays (no file is an error); "new_episodes" replays what it holds and records
    the rest, adding it; "all" records everything again. A request that cannot be replayed while
    nothing may be recorded raises CassetteMismatch naming it. realtime: replay streamed lines with
    their recorded delays (else at once).
    """
    return Cassette(path, mode, realtime=realtime)
