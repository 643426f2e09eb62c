"""Minimal local layer of the library module dorv: the byte-structure types of construct under the library's names."""
from construct import *  # noqa: F401,F403
from construct import __all__ as _construct_all

__all__ = list(_construct_all)
