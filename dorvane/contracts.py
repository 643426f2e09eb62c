"""Minimal local layer of the library module dorvane.contracts: the contract classes of the trading model."""

__all__ = ["Contract", "Stock", "Future", "Option", "Index"]


class Contract:
    """A product of the broker: every field given by keyword becomes an attribute (`code`, `name`, ...)."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __repr__(self):
        fields = ", ".join("{}={!r}".format(k, v) for k, v in self.__dict__.items())
        return "{}({})".format(type(self).__name__, fields)


class Stock(Contract):
    """A stock: `code` and `exchange` ("TSE" or "OTC")."""


class Future(Contract):
    """A futures contract: `code`."""


class Option(Contract):
    """An option contract: `code`."""


class Index(Contract):
    """An index: `code` and `exchange`."""
