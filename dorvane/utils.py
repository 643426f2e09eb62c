"""Minimal local layer of the library module dorvane.utils: the library's logger `log`."""
import logging

__all__ = ["log"]

log = logging.getLogger("dorvane")
