"""What hooks are shown and what raw answers are: HookRequest, HookResponse, RawResponse."""

from ._hooks import HookRequest, HookResponse
from ._raw import RawResponse

for _public in (HookRequest, HookResponse, RawResponse):
    _public.__module__ = __name__

__all__ = ["HookRequest", "HookResponse", "RawResponse"]
