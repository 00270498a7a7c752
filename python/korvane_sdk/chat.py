"""Chat completions API, whole and streamed."""

from ._core import Chat, ChatCompletions, ChatCompletionStream

__all__ = ["Chat", "ChatCompletions", "ChatCompletionStream"]
