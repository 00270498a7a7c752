"""Batch files: requests read from JSONL or an iterable, and the result file that a run appends to
and a later run resumes from."""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Iterator, Mapping
from typing import Any, Union

try:
    import fcntl
except ImportError:  # not on Windows: there a second run on the same file is not refused
    fcntl = None  # type: ignore[assignment]

Request = Mapping[str, Any]
PathLike = Union[str, "os.PathLike[str]"]

_ID_FORBIDDEN = frozenset(chr(c) for c in range(32)) | {"\x7f"}


def is_path(value: object) -> bool:
    return isinstance(value, (str, os.PathLike))


def checked(item: object, where: str) -> tuple[str, Mapping[str, Any]]:
    """(id, body) of one request, or ValueError naming what is wrong and where."""
    if not isinstance(item, Mapping):
        raise ValueError(f"{where}: a request is a mapping with 'id' and 'body', not {type(item).__name__}")
    request_id = item.get("id")
    if not isinstance(request_id, str) or not request_id:
        raise ValueError(f"{where}: the request's 'id' must be a non-empty str, not {request_id!r}")
    if not request_id.isascii() and not _utf8(request_id):
        raise ValueError(f"{where}: the request id {request_id!r} is not valid text (it cannot be UTF-8)")
    if any(ch in _ID_FORBIDDEN for ch in request_id):
        # It travels as a header value, where control characters cannot go.
        raise ValueError(f"{where}: the request id {request_id!r} holds a control character")
    body = item.get("body")
    if not isinstance(body, Mapping):
        raise ValueError(f"{where}: request {request_id!r} needs a 'body' mapping of chat.completions.create keywords")
    if body.get("stream"):
        raise ValueError(f"{where}: request {request_id!r} asks for a stream; batch requests are answered whole")
    return request_id, body


def _utf8(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:  # a lone surrogate
        return False
    return True


def read_jsonl(path: PathLike) -> Iterator[Any]:
    """The JSON value of each non-blank line of a file, read one line at a time."""
    with open(path, "rb") as source:
        for number, line in enumerate(source, 1):
            if not line.strip():
                continue
            try:
                yield json.loads(line)
            except ValueError as failure:
                raise ValueError(f"{os.fspath(path)} line {number}: not JSON ({failure})") from None


def numbered(requests: Iterable[Any] | PathLike) -> Iterator[tuple[str, Any]]:
    """Each request with where it came from, for error texts."""
    if is_path(requests):
        name = os.fspath(requests)  # type: ignore[arg-type]
        for number, item in enumerate(read_jsonl(name), 1):
            yield f"{name} request {number}", item
    else:
        for number, item in enumerate(requests, 1):  # type: ignore[arg-type]
            yield f"request {number}", item


def count_lines(path: PathLike) -> int:
    """Non-blank lines of a file (the total a progress bar shows)."""
    with open(path, "rb") as source:
        return sum(1 for line in source if line.strip())


class ResultFile:
    """The JSONL file a run writes its answers to, one whole line per answer as it arrives.

    Opened, it is locked for this run (a second run on the same file is refused), the ids it
    already answers are read (done_ids), and a torn last line (a run killed mid-write) is cut off.
    Each line then goes out in one write on a descriptor opened for appending, with no buffer of
    ours in between, so a killed run leaves only whole lines behind (at most the last one torn).
    """

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        # Owned by this object: closed by close(), which also releases the lock.
        self._fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o644)
        try:
            if fcntl is not None:
                try:
                    fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    raise RuntimeError(f"{self.path} is being written by another batch run") from None
            self.done_ids = self._read_done()
        except BaseException:
            os.close(self._fd)
            raise

    def _read_done(self) -> set[str]:
        done: set[str] = set()
        offset = 0
        with open(self.path, "rb") as existing:
            for number, line in enumerate(existing, 1):
                whole = line.endswith(b"\n")
                request_id = _id_of(line)
                if request_id is None and not line.strip():
                    pass
                elif request_id is None:
                    if whole:
                        # Only the last line can be torn by a killed run; anything else is not ours
                        # to throw away.
                        raise ValueError(f"{self.path} line {number} is not a batch result line; not resuming over it")
                    os.ftruncate(self._fd, offset)  # the torn tail of a killed run: sent again
                    break
                else:
                    done.add(request_id)
                    if not whole:
                        self.write(b"\n")  # whole but for its end of line
                offset += len(line)
        return done

    def write(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            written = os.write(self._fd, view)
            view = view[written:]

    def close(self) -> None:
        if self._fd >= 0:
            fd, self._fd = self._fd, -1
            os.close(fd)


def _id_of(line: bytes) -> str | None:
    try:
        record = json.loads(line)
    except ValueError:
        return None
    if not isinstance(record, dict) or ("response" not in record and "error" not in record):
        return None
    request_id: object = record.get("id")
    return request_id if isinstance(request_id, str) else None
