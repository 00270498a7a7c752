"""The progress line of a batch run on stderr: tqdm's bar when tqdm is installed, else a small one."""

from __future__ import annotations

import sys
import time
from typing import Any, TextIO


class _Plain:
    """done/total, rate and ETA on one line of a terminal, redrawn at most 5 times a second."""

    _EVERY = 0.2

    def __init__(self, total: int | None, stream: TextIO) -> None:
        self._total = total
        self._stream = stream
        self._done = 0
        self._started = time.monotonic()
        self._drawn = 0.0

    def update(self, count: int = 1) -> None:
        self._done += count
        now = time.monotonic()
        if now - self._drawn >= self._EVERY:
            self._drawn = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        elapsed = max(now - self._started, 1e-9)
        rate = self._done / elapsed
        if self._total:
            eta = (self._total - self._done) / rate if rate > 0 else float("inf")
            text = f"batch {self._done}/{self._total} ({100 * self._done / self._total:3.0f}%)"
            text += f"  {rate:.1f} req/s  ETA {_clock(eta)}"
        else:
            text = f"batch {self._done}  {rate:.1f} req/s  {_clock(elapsed)} elapsed"
        self._stream.write("\r" + text + "\x1b[K")
        self._stream.flush()

    def close(self) -> None:
        self._draw(time.monotonic())
        self._stream.write("\n")
        self._stream.flush()


def _clock(seconds: float) -> str:
    if seconds == float("inf"):
        return "--:--"
    seconds = int(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60:02d}:{rest % 60:02d}"


def progress_bar(total: int | None) -> Any:
    """A bar with update(n) and close(), drawn on stderr."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        return _Plain(total, sys.stderr)
    return tqdm(total=total, unit="req", desc="batch", file=sys.stderr, dynamic_ncols=True, smoothing=0.05)


def wanted(progress: bool | None) -> bool:
    """Shown when asked for, or by default when stderr is a terminal."""
    if progress is not None:
        return bool(progress)
    isatty = getattr(sys.stderr, "isatty", None)
    try:
        return bool(isatty and isatty())
    except ValueError:  # a closed stderr
        return False
