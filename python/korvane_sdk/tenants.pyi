"""Tenant (organization) administration API."""

import builtins
from collections.abc import Iterator, Mapping
from typing import Any

from .client import KorvaneClient
from .models import Tenant
from .types import TenantUsage

class TenantManager:
    """Manage tenants (organizations) in multi-tenant mode."""

    _client: KorvaneClient

    def __init__(self, client: KorvaneClient) -> None: ...
    def list(self, limit: int = 100, offset: int = 0, is_active: bool | None = None) -> builtins.list[Tenant]:
        """List all tenants."""
    def iter(self, *, is_active: bool | None = None, page_size: int = 100) -> Iterator[Tenant]:
        """Every tenant, fetched page by page (one request per page) as the iterator is used.

        Pages are fetched by offset: deleting the records while iterating (or changing them so the
        filters no longer match) moves the records not yet seen forward, and the iterator silently
        skips that many. Collect first, then change: ``ids = [r.id for r in <iterator>]``, then delete
        each id.
        """
    def get(self, tenant_id: str) -> Tenant:
        """Get a tenant by ID."""
    def create(
        self,
        name: str,
        slug: str | None = None,
        plan: str = "free",
        metadata: Mapping[str, Any] | None = None,
    ) -> Tenant:
        """Create a new tenant."""
    def update(
        self,
        tenant_id: str,
        name: str | None = None,
        plan: str | None = None,
        is_active: bool | None = None,
        metadata: Mapping[str, Any] | None = None,
    ) -> Tenant:
        """Update a tenant."""
    def delete(self, tenant_id: str) -> bool:
        """Delete a tenant."""
    def get_usage(self, tenant_id: str) -> TenantUsage:
        """Get usage statistics for a tenant."""
    def regenerate_api_key(self, tenant_id: str) -> dict[str, str]:
        """Regenerate API key for a tenant."""

__all__ = ["TenantManager"]
