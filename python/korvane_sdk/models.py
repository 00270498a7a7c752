"""Typed request and answer records: chat, models, tenants, feedback, training jobs and datasets."""

from . import _core
from ._core import BaseModel, FieldInfo, ValidationError

# The record classes are those of the core's record table, in its order: a new record needs no
# edit here (its stub in models.pyi is checked by tests/core/test_signatures.py).
globals().update({name: getattr(_core, name) for name in _core._record_names})

__all__ = ["BaseModel", "ValidationError", *_core._record_names]

del _core
