"""Minimal local layer of the library module dorvane.orderprops: the option names of orders (`OrderProps.Stock`)."""

__all__ = ["OrderProps"]


class OrderProps:
    """Option names that order fields take; each option's value is its own name as text, which the
    wire-code tables of dorvane.backend.socket.protocol.stock.constant use as attribute names."""

    class Stock:
        class action:
            Buy = "Buy"
            Sell = "Sell"
            Update_Qty = "Update_Qty"
            Cancel = "Cancel"

        class order_type:
            Common = "Common"  # board lot
            Fixing = "Fixing"  # fixed-price trading after the close
            Odd = "Odd"  # odd lot

        class order_cond:
            Cash = "Cash"
            MarginTrading = "MarginTrading"
            ShortSelling = "ShortSelling"

        class price_type:
            LimitPrice = "LimitPrice"
            Close = "Close"  # previous close
            LimitUp = "LimitUp"
            LimitDown = "LimitDown"

        class first_sell:
            Yes = "Yes"
            No = "No"
