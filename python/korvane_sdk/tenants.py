"""Tenant (organization) administration API."""

from ._core import TenantManager

__all__ = ["TenantManager"]
