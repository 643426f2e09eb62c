"""Minimal local layer of the library module dorvane.backend.constant: the stock market names (`MarketType`)."""

__all__ = ["MarketType"]


class MarketType:
    """Stock markets. The members are plain text: hashable, equal to the exchange values that
    callers pass, and usable as attribute names in the `market_type` wire-code table."""

    TSE = "TSE"
    OTC = "OTC"
    OES = "OES"  # no wire code is defined for it: an order to it fails in the market-code look-up
