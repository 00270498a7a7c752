"""Chat completions API, whole and streamed."""

from ._core import Chat, ChatCompletions

__all__ = ["Chat", "ChatCompletions"]
