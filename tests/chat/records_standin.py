"""Minimal chat records for running the chat tests before the record engine is bound.

Only what the chat API relies on: keyword construction with type checks, dropped unknown keys,
defaults, attribute access and model_dump(). Used only when korvane_sdk.models lacks the records.
"""

_REQUIRED = object()


class ValidationError(ValueError):
    pass


def _check(kind, value, field):
    optional = isinstance(kind, tuple) and kind[0] == "optional"
    if optional:
        if value is None:
            return None
        kind = kind[1]
    if value is None:
        raise ValidationError(f"{field}: null is not allowed")
    if kind is int:
        if isinstance(value, bool) or not isinstance(value, (int, float, str)):
            raise ValidationError(f"{field}: not an integer")
        try:
            number = int(value)
        except ValueError as error:
            raise ValidationError(f"{field}: not an integer") from error
        if isinstance(value, float) and number != value:
            raise ValidationError(f"{field}: fraction")
        return number
    if kind is str and not isinstance(value, str):
        raise ValidationError(f"{field}: not a text")
    if kind is bool and not isinstance(value, bool):
        raise ValidationError(f"{field}: not a truth value")
    if kind is list and not isinstance(value, list):
        raise ValidationError(f"{field}: not a list")
    if isinstance(kind, type) and issubclass(kind, _Record):
        if isinstance(value, kind):
            return value
        if not isinstance(value, dict):
            raise ValidationError(f"{field}: not a {kind.__name__}")
        return kind(**value)
    return value


class _Record:
    _fields: dict = {}

    def __init__(self, **values):
        for name, (kind, default) in self._fields.items():
            if name in values:
                value = _check(kind, values[name], name)
            elif default is _REQUIRED:
                raise ValidationError(f"{name}: field required")
            else:
                value = default() if callable(default) else default
            setattr(self, name, value)

    def model_dump(self, exclude_none=False):
        out = {}
        for name in self._fields:
            value = getattr(self, name)
            if isinstance(value, _Record):
                value = value.model_dump(exclude_none=exclude_none)
            elif isinstance(value, list):
                value = [v.model_dump(exclude_none=exclude_none) if isinstance(v, _Record) else v for v in value]
            if value is None and exclude_none:
                continue
            out[name] = value
        return out


def _optional(kind):
    return ("optional", kind)


class ChatMessage(_Record):
    _fields = {"role": (str, _REQUIRED), "content": (str, _REQUIRED), "name": (_optional(str), None)}


class ChatCompletionChoice(_Record):
    _fields = {"index": (int, _REQUIRED), "message": (ChatMessage, _REQUIRED),
               "finish_reason": (_optional(str), None)}


class ChatCompletionUsage(_Record):
    _fields = {"prompt_tokens": (int, _REQUIRED), "completion_tokens": (int, _REQUIRED),
               "total_tokens": (int, _REQUIRED)}


class ChatCompletion(_Record):
    _fields = {"id": (str, _REQUIRED), "object": (str, "chat.completion"), "created": (int, _REQUIRED),
               "model": (str, _REQUIRED), "choices": (list, _REQUIRED),
               "usage": (_optional(ChatCompletionUsage), None), "rerank_tier": (_optional(str), None),
               "quantum_enhanced": (bool, False)}


class ChatCompletionChunk(_Record):
    _fields = {"id": (str, _REQUIRED), "object": (str, "chat.completion.chunk"), "created": (int, _REQUIRED),
               "model": (str, _REQUIRED), "choices": (list, _REQUIRED)}


RECORDS = {cls.__name__: cls for cls in
           (ChatMessage, ChatCompletionChoice, ChatCompletionUsage, ChatCompletion, ChatCompletionChunk)}
