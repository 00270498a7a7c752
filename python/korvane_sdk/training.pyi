"""Manage model training jobs (SFT, DPO, LoRA)."""

import builtins
import os
from collections.abc import Iterator, Mapping
from typing import Any

from _typeshed import SupportsRead

from .client import KorvaneClient
from .models import Dataset, TrainingJob, _JobStatus
from .types import JobMetrics

class TrainingManager:
    """Manage model training jobs."""

    _client: KorvaneClient

    def __init__(self, client: KorvaneClient) -> None:
        """Initialize training manager."""
    def create(
        self,
        training_type: str,
        base_model: str = "meta-llama/Llama-3.1-8B-Instruct",
        dataset_id: str | None = None,
        config: Mapping[str, Any] | None = None,
        num_gpus: int = 8,
        priority: str = "normal",
        tenant_id: str | None = None,
    ) -> TrainingJob:
        """Create a new training job."""
    def get(self, job_id: str, tenant_id: str | None = None) -> TrainingJob:
        """Get a training job."""
    def list(
        self,
        tenant_id: str | None = None,
        status: _JobStatus | None = None,
        training_type: str | None = None,
        limit: int = 100,
        offset: int = 0,
    ) -> builtins.list[TrainingJob]:
        """List training jobs."""
    def iter_jobs(
        self,
        *,
        tenant_id: str | None = None,
        status: _JobStatus | None = None,
        training_type: str | None = None,
        page_size: int = 100,
    ) -> Iterator[TrainingJob]:
        """Every training job matching the filters, fetched page by page (one request per page).

        Pages are fetched by offset: deleting the records while iterating (or changing them so the
        filters no longer match) moves the records not yet seen forward, and the iterator silently
        skips that many. Collect first, then change: ``ids = [r.id for r in <iterator>]``, then delete
        each id.
        """
    def cancel(self, job_id: str, reason: str | None = None, tenant_id: str | None = None) -> TrainingJob:
        """Cancel a training job."""
    def get_logs(self, job_id: str, tenant_id: str | None = None, tail: int = 100) -> str:
        """Get training job logs."""
    def get_metrics(self, job_id: str, tenant_id: str | None = None) -> JobMetrics:
        """Get training job metrics."""
    def create_dataset(
        self,
        name: str,
        description: str | None = None,
        dataset_type: str = "sft",
        tenant_id: str | None = None,
    ) -> Dataset:
        """Create a new dataset."""
    def list_datasets(
        self,
        tenant_id: str | None = None,
        dataset_type: str | None = None,
        limit: int = 100,
        offset: int = 0,
    ) -> builtins.list[Dataset]:
        """List datasets."""
    def iter_datasets(
        self, *, tenant_id: str | None = None, dataset_type: str | None = None, page_size: int = 100
    ) -> Iterator[Dataset]:
        """Every dataset matching the filters, fetched page by page (one request per page).

        Pages are fetched by offset: deleting the records while iterating (or changing them so the
        filters no longer match) moves the records not yet seen forward, and the iterator silently
        skips that many. Collect first, then change: ``ids = [r.id for r in <iterator>]``, then delete
        each id.
        """
    def get_dataset(self, dataset_id: str, tenant_id: str | None = None) -> Dataset:
        """Get a dataset."""
    def delete_dataset(self, dataset_id: str, tenant_id: str | None = None) -> bool:
        """Delete a dataset."""
    def upload_dataset(
        self,
        dataset_id: str,
        file_path: str | os.PathLike[str] | SupportsRead[bytes],
        tenant_id: str | None = None,
    ) -> Dataset:
        """Upload data to a dataset.

        The data is JSON Lines (UTF-8): one training example per line, a JSON object such as
        {"prompt": "...", "response": "..."}; blank lines are skipped. `file_path` is a path, or a
        binary file object open for reading (an open file, io.BytesIO), sent from its position
        without being read into memory and left open. Bytes are refused: wrap them in io.BytesIO.
        """
    def generate_from_feedback(
        self,
        dataset_name: str,
        tenant_id: str | None = None,
        min_rating: int | None = 1,
        dataset_type: str = "sft",
    ) -> Dataset:
        """Generate a dataset from collected feedback."""

__all__ = ["TrainingManager"]
