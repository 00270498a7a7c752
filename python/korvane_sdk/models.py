"""Typed request and answer records."""

__all__: list = []
