"""Minimal local layer of the library module dorvane.account: the account types of the trading model."""

__all__ = ["Account", "StockAccount", "FutureAccount"]


class Account:
    """A broker account: `broker_id` and `account_id` as attributes, through `get(key, default)`, and
    as a mapping of exactly these two keys (`dict(account)`, `**account`). Further descriptive fields
    (`person_id`, `username`, ...) are attributes only."""

    _mapping_keys = ("broker_id", "account_id")

    def __init__(self, broker_id, account_id, **fields):
        self.broker_id = broker_id
        self.account_id = account_id
        self.__dict__.update(fields)

    def get(self, key, default=None):
        return getattr(self, key, default)

    def keys(self):
        return list(self._mapping_keys)

    def __getitem__(self, key):
        if key not in self._mapping_keys:
            raise KeyError(key)
        return getattr(self, key)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return (self.broker_id, self.account_id) == (other.broker_id, other.account_id)

    def __hash__(self):
        return hash((type(self).__name__, self.broker_id, self.account_id))

    def __repr__(self):
        return "{}(broker_id={!r}, account_id={!r})".format(type(self).__name__, self.broker_id, self.account_id)


class StockAccount(Account):
    """A securities account (account type "S")."""

    account_type = "S"


class FutureAccount(Account):
    """A futures and options account (account type "F")."""

    account_type = "F"
