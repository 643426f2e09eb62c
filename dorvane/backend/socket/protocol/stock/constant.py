"""Minimal local layer of the library module dorvane.backend.socket.protocol.stock.constant: the wire-code tables of stock order requests.

Each table is a class whose attribute, named by an option value (dorvane.orderprops.OrderProps.Stock,
dorvane.backend.constant.MarketType), holds that option's wire code. Codes chosen here, where the
order builders' documentation leaves them open: the side table `bs` (Buy "B", Sell "S"), and the
option names of the documented entries that the builders do not use (Fixing, Odd, MarginTrading,
ShortSelling, Close, LimitUp, LimitDown, Yes). OES has no documented code and so no entry.
"""

__all__ = ["trade_type", "order_type", "order_cond", "market_type", "bs", "price_type", "first_sell"]


class trade_type:
    Buy = "01"
    Sell = "02"
    Update_Qty = "03"
    Cancel = "04"


class order_type:
    Common = "0"
    Fixing = "P"
    Odd = "2"


class order_cond:
    Cash = "0"
    MarginTrading = "3"
    ShortSelling = "4"


class market_type:
    TSE = "S"
    OTC = "O"


class bs:
    Buy = "B"
    Sell = "S"


class price_type:
    LimitPrice = " "
    Close = "1"
    LimitUp = "2"
    LimitDown = "3"


class first_sell:
    Yes = "Y"
    No = "N"
