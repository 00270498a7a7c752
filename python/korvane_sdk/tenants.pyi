"""Tenant (organization) administration API."""

from typing import Any, Dict, Iterator, List, Optional

from .client import KorvaneClient
from .models import Tenant

class TenantManager:
    """Manage tenants (organizations) in multi-tenant mode."""

    _client: KorvaneClient

    def __init__(self, client: KorvaneClient) -> None: ...
    def list(self, limit: int = 100, offset: int = 0, is_active: Optional[bool] = None) -> List[Tenant]:
        """List all tenants."""
    def iter(self, *, is_active: Optional[bool] = None, page_size: int = 100) -> Iterator[Tenant]:
        """Every tenant, fetched page by page (one request per page) as the iterator is used."""
    def get(self, tenant_id: str) -> Tenant:
        """Get a tenant by ID."""
    def create(
        self,
        name: str,
        slug: Optional[str] = None,
        plan: str = "free",
        metadata: Optional[Dict[str, Any]] = None,
    ) -> Tenant:
        """Create a new tenant."""
    def update(
        self,
        tenant_id: str,
        name: Optional[str] = None,
        plan: Optional[str] = None,
        is_active: Optional[bool] = None,
        metadata: Optional[Dict[str, Any]] = None,
    ) -> Tenant:
        """Update a tenant."""
    def delete(self, tenant_id: str) -> bool:
        """Delete a tenant."""
    def get_usage(self, tenant_id: str) -> Dict[str, Any]:
        """Get usage statistics for a tenant."""
    def regenerate_api_key(self, tenant_id: str) -> Dict[str, str]:
        """Regenerate API key for a tenant."""

__all__ = ["TenantManager"]
