"""Minimal local layer of the library module dorvane.backend.utils: the logger `log` of the back end and the facades' decorators `connection`, `subscribe`, `auth` and `record`."""
from functools import wraps

from dorvane.utils import log

__all__ = ["log", "connection", "subscribe", "auth", "record"]


def _passing(kind, fn):
    """A wrapper that calls `fn` unchanged and names the decorator that made it in `_decorator`."""

    @wraps(fn)
    def wrapper(*args, **kwargs):
        return fn(*args, **kwargs)

    wrapper._decorator = kind
    return wrapper


def connection(cls):
    """Class decorator of the facades: marks the class and returns it unchanged."""
    cls._connection = True
    return cls


def subscribe(fn):
    """Decorator of a facade's login: calls it unchanged."""
    return _passing("subscribe", fn)


def auth(fn):
    """Decorator of a facade's order methods: calls them unchanged."""
    return _passing("auth", fn)


def record(fn):
    """Decorator of a facade's order methods: calls them unchanged."""
    return _passing("record", fn)
