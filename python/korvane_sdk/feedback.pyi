"""Feedback collection API."""

from datetime import datetime
from typing import Iterator, List, Optional, Union

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
        comment: Optional[str] = None,
        tags: Optional[List[str]] = None,
        prompt: Optional[str] = None,
        response: Optional[str] = None,
        tenant_id: Optional[str] = None,
    ) -> Feedback:
        """Submit feedback for a response."""
    def list(
        self,
        tenant_id: Optional[str] = None,
        limit: int = 100,
        offset: int = 0,
        rating: Optional[int] = None,
        start_date: Optional[Union[datetime, str]] = None,
        end_date: Optional[Union[datetime, str]] = None,
        tags: Optional[List[str]] = None,
    ) -> List[Feedback]:
        """List feedback."""
    def iter(
        self,
        *,
        tenant_id: Optional[str] = None,
        rating: Optional[int] = None,
        start_date: Optional[Union[datetime, str]] = None,
        end_date: Optional[Union[datetime, str]] = None,
        tags: Optional[List[str]] = None,
        page_size: int = 100,
    ) -> Iterator[Feedback]:
        """Every feedback matching the filters, fetched page by page (one request per page)."""
    def get(self, feedback_id: str, tenant_id: Optional[str] = None) -> Feedback:
        """Get a feedback entry."""
    def delete(self, feedback_id: str, tenant_id: Optional[str] = None) -> bool:
        """Delete a feedback entry."""
    def stats(
        self,
        tenant_id: Optional[str] = None,
        start_date: Optional[Union[datetime, str]] = None,
        end_date: Optional[Union[datetime, str]] = None,
    ) -> FeedbackStats:
        """Get feedback statistics."""
    def export(self, tenant_id: Optional[str] = None, format: str = "jsonl", rating: Optional[int] = None) -> str:
        """Export feedback for training."""

__all__ = ["FeedbackManager"]
