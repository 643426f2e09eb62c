"""Minimal local layer of the library module dorvane.contracts: the contract classes of the trading model."""

__all__ = ["Contract", "Stock", "Future", "Option", "Index", "Contracts"]


class Contract:
    """A product of the broker: every field given by keyword becomes an attribute (`code`, `name`, ...)."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __repr__(self):
        fields = ", ".join("{}={!r}".format(k, v) for k, v in self.__dict__.items())
        return "{}({})".format(type(self).__name__, fields)


class Stock(Contract):
    """A stock: `code` and `exchange` ("TSE" or "OTC")."""

    security_type = "STK"


class Future(Contract):
    """A futures contract: `code`; `option_right` is empty."""

    security_type = "FUT"
    option_right = ""


class Option(Contract):
    """An option contract: `code`; `option_right` is the call or put code ("C" or "P")."""

    security_type = "OPT"
    option_right = ""


class Index(Contract):
    """An index: `code` and `exchange`."""

    security_type = "IND"


class ContractGroup:
    """The contracts of one market or product, by code: `group["2330"]`, `group.get(code)`,
    iteration over the contracts in download order, `len(group)`."""

    def __init__(self, name, contracts):
        self.name = name
        self._by_code = {}
        for contract in contracts:
            self._by_code[contract.code] = contract

    def __getitem__(self, code):
        return self._by_code[code]

    def get(self, code, default=None):
        return self._by_code.get(code, default)

    def __contains__(self, code):
        return code in self._by_code

    def __iter__(self):
        return iter(self._by_code.values())

    def __len__(self):
        return len(self._by_code)

    def __repr__(self):
        return "{}({})".format(self.name, ", ".join(self._by_code))


class ContractCategory:
    """One kind of product (stocks, futures, options, indexes): its groups by key, as attributes
    (`Stocks.TSE`) and items (`Stocks["TSE"]`); `keys()` lists the group keys."""

    def __init__(self, name, kind, groups):
        self.name = name
        self._groups = {}
        for key, records in (groups or {}).items():
            self._groups[key] = ContractGroup(key, [kind(**record) for record in records])

    def keys(self):
        return list(self._groups)

    def __getitem__(self, key):
        return self._groups[key]

    def __getattr__(self, key):
        groups = self.__dict__.get("_groups", {})
        if key in groups:
            return groups[key]
        raise AttributeError(key)

    def __iter__(self):
        return iter(self._groups.values())

    def __len__(self):
        return len(self._groups)

    def __repr__(self):
        return "{}({})".format(self.name, ", ".join(self._groups))


class Contracts:
    """The contract catalogue built from the four product downloads, each a mapping of group key
    to a list of contract records: `Contracts(Indexs=..., Stocks=..., Futures=..., Options=...)`.
    Gives `Indexs`, `Stocks`, `Futures` and `Options` as `ContractCategory` objects of `Index`,
    `Stock`, `Future` and `Option` contracts."""

    def __init__(self, Indexs=None, Stocks=None, Futures=None, Options=None):
        self.Indexs = ContractCategory("Indexs", Index, Indexs)
        self.Stocks = ContractCategory("Stocks", Stock, Stocks)
        self.Futures = ContractCategory("Futures", Future, Futures)
        self.Options = ContractCategory("Options", Option, Options)

    def __repr__(self):
        return "Contracts(Indexs={!r}, Stocks={!r}, Futures={!r}, Options={!r})".format(
            self.Indexs, self.Stocks, self.Futures, self.Options)
