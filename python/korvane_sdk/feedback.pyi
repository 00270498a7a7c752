"""Feedback collection API."""

import builtins
from collections.abc import Iterator
from datetime import datetime

from .client import KorvaneClient
from .models import Feedback, FeedbackStats

class FeedbackManager:
    """Manage user feedback for model improvement."""

    _client: KorvaneClient

    def __init__(self, client: KorvaneClient) -> None: ...
    def create(
        self,
        request_id: str,
        rating: int,
        comment: str | None = None,
        tags: builtins.list[str] | tuple[str, ...] | None = None,
        prompt: str | None = None,
        response: str | None = None,
        tenant_id: str | None = None,
    ) -> Feedback:
        """Submit feedback for a response."""
    def list(
        self,
        tenant_id: str | None = None,
        limit: int = 100,
        offset: int = 0,
        rating: int | None = None,
        start_date: datetime | str | None = None,
        end_date: datetime | str | None = None,
        tags: builtins.list[str] | tuple[str, ...] | None = None,
    ) -> builtins.list[Feedback]:
        """List feedback."""
    def iter(
        self,
        *,
        tenant_id: str | None = None,
        rating: int | None = None,
        start_date: datetime | str | None = None,
        end_date: datetime | str | None = None,
        tags: builtins.list[str] | tuple[str, ...] | None = None,
        page_size: int = 100,
    ) -> Iterator[Feedback]:
        """Every feedback matching the filters, fetched page by page (one request per page).

        Pages are fetched by offset: deleting the records while iterating (or changing them so the
        filters no longer match) moves the records not yet seen forward, and the iterator silently
        skips that many. Collect first, then change: ``ids = [r.id for r in <iterator>]``, then delete
        each id.
        """
    def get(self, feedback_id: str, tenant_id: str | None = None) -> Feedback:
        """Get a feedback entry."""
    def delete(self, feedback_id: str, tenant_id: str | None = None) -> bool:
        """Delete a feedback entry."""
    def stats(
        self,
        tenant_id: str | None = None,
        start_date: datetime | str | None = None,
        end_date: datetime | str | None = None,
    ) -> FeedbackStats:
        """Get feedback statistics."""
    def export(self, tenant_id: str | None = None, format: str = "jsonl", rating: int | None = None) -> str:
        """Export feedback for training."""

__all__ = ["FeedbackManager"]
