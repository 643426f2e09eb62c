"""Minimal local layer of the library module dorvane.backend.http.futureoption.constant: the option table `oprops` of futures and option orders."""
from dorvane.backend.http.constant import BaseProps, Constant

__all__ = ["FutOptProps", "oprops"]


class FutOptProps:
    """Option names of futures and option orders: the values that an order's `action`,
    `price_type`, `order_type` and `octype` hold. Each value is its own name as text."""

    class action:
        Buy = "Buy"
        Sell = "Sell"

    class price_type:
        LMT = "LMT"  # limit
        MKT = "MKT"  # market
        MKP = "MKP"  # market range

    class order_type:
        ROD = "ROD"  # rest of day
        IOC = "IOC"  # immediate or cancel
        FOK = "FOK"  # fill or kill

    class octype:
        Auto = "Auto"
        New = "New"  # open a new position
        Cover = "Cover"  # close a position
        DayTrade = "DayTrade"


# Request codes of the order endpoints, one translating class per field: each object built from
# the option names answers both an option value (giving its code) and a code (giving its value).
class _Action(Constant):
    Buy = "B"
    Sell = "S"


class _PriceType(Constant):
    LMT = "LMT"
    MKT = "MKT"
    MKP = "MKP"


class _OrderType(Constant):
    ROD = "ROD"
    IOC = "IOC"
    FOK = "FOK"


class _OcType(Constant):
    Auto = " "
    New = "0"
    Cover = "1"
    DayTrade = "6"


class oprops(BaseProps):
    """The option table: `oprops.keys()` lists the fields; `oprops.action.Buy` is "B" and
    `oprops.action.B` is "Buy"."""

    action = _Action(FutOptProps.action)
    price_type = _PriceType(FutOptProps.price_type)
    order_type = _OrderType(FutOptProps.order_type)
    octype = _OcType(FutOptProps.octype)
