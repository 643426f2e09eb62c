"""Minimal local layer of the library module dorvane.backend.utils: the logger `log` of the back end."""
from dorvane.utils import log

__all__ = ["log"]
