"""Minimal local layer of the library module dorvane.constant: the quote-type constants."""

__all__ = ["QUOTE_TYPE_TICK", "QUOTE_TYPE_BIDASK"]

QUOTE_TYPE_TICK = "tick"
QUOTE_TYPE_BIDASK = "bidask"
