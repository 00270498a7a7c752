"""Feedback collection API."""

from ._core import FeedbackManager

__all__ = ["FeedbackManager"]
