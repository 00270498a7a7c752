"""Manage model training jobs (SFT, DPO, LoRA)."""

from ._core import TrainingManager

__all__ = ["TrainingManager"]
