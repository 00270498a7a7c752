"""Whole answers from an awaited stream: its text deltas and the completion its chunks add up to.

The blocking stream has the same methods (written in C++); both read the assembly that each
stream keeps as its chunks are read (``_core._StreamAssembly``).
"""

from __future__ import annotations

from collections.abc import AsyncIterator
from typing import Any

from . import _core


class AsyncStreamHelpers:
    """Methods of AsyncChatCompletionStream; the stream holds ``_assembly``."""

    __slots__ = ()
    _assembly: Any

    async def text_deltas(self, choice: int = 0) -> AsyncIterator[str]:
        """The content texts of one choice as they arrive (empty deltas left out); reading them reads
        the stream, so its chunks still count for get_final_completion()."""
        if not isinstance(choice, int):
            raise TypeError(f"choice must be an int, not {type(choice).__name__}")
        texts_of = _core._texts_of
        async for chunk in self:  # type: ignore[attr-defined]
            for text in texts_of(chunk, choice):
                yield text

    async def _drain(self) -> None:
        async for _ in self:  # type: ignore[attr-defined]
            pass

    async def get_final_completion(self) -> Any:
        """The ChatCompletion assembled from the chunks: the rest of the stream is read first (nothing
        more when it ended or was closed early: then it holds what was read). Content is joined per
        choice index, the role and finish_reason kept, and the chunks' usage, rerank_tier and
        quantum_enhanced taken when the platform sent them."""
        await self._drain()
        return self._assembly.completion()

    async def get_final_answer(self) -> dict[str, Any]:
        """The assembled answer as its JSON object, shaped as a whole answer is: the rest of the stream
        is read first. Holds what the record leaves out, such as tool_calls merged by index."""
        await self._drain()
        answer: dict[str, Any] = self._assembly.answer()
        return answer
