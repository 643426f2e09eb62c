"""Minimal local layer of the library module dorvane.backend.http.order: placing, changing, cancelling and refreshing futures and option orders.

Every request goes through the futures and option order functions of
dorvane.backend.http.futureoption.order, which build the request bodies and read the replies; this
layer only chooses the calls and assembles the trades. The local back end needs no signature, so
the orders go out with an empty `vexa_content`.
"""
from dorvane.backend.http.futureoption import order as futopt
from dorvane.order import Status, Trade

__all__ = ["place_order", "update_order", "cancel_order", "update_status"]

VEXA_CONTENT = ""


def place_order(contract, order, client):
    """Places the order for the contract and returns a new trade: the order carries the reply's
    order and sequence numbers, the status is PendingSubmit on success and Failed otherwise."""
    reply = futopt.place_futopt_order(contract, order, VEXA_CONTENT, client)
    order, status, _ = futopt.futopt_resp2order_status(reply, order)
    return Trade(contract=contract, order=order, status=status)


def _changed(trade, reply):
    """A new trade of the trade's contract and order with the status that a change or cancel reply
    gives (Failed with the broker's reason as its message when refused). The order is left as it
    was: a failed reply carries no numbers to take over."""
    result = reply.get("result") or {}
    success = reply.get("success", "")
    status = futopt.res2orderstatus(result if isinstance(result, dict) else {},
                                    isinstance(success, str) and success.lower() == "true")
    return Trade(contract=trade.contract, order=trade.order, status=status)


def update_order(trade, client, price, qty):
    """Changes the price (when `price` is not None) and then the quantity (when `qty` is not None:
    the new, smaller order quantity) of the trade's order. Returns a new trade whose status comes
    from the last reply; the trade itself when neither is given. A refused price change is
    returned at once (its status Failed, its message the broker's reason): the quantity change is
    not tried."""
    changed = trade
    if price is not None:
        changed = _changed(trade, futopt.update_futopt_order_price(trade, VEXA_CONTENT, client, price))
        if changed.status.status == Status.Failed:
            return changed
    if qty is not None:
        changed = _changed(trade, futopt.update_futopt_order_qty(trade, VEXA_CONTENT, client, qty))
    return changed


def cancel_order(trade, client):
    """Cancels the trade's order; returns a new trade whose status comes from the reply."""
    return _changed(trade, futopt.cancel_futopt_order(trade, VEXA_CONTENT, client))


def update_status(trades, client):
    """Queries the orders of the session's futures accounts and brings every trade of `trades`
    (order id -> trade) that the query lists up to date in place: order number, status code,
    message, deal and cancel figures, then the remaining quantity and the status."""
    rows = futopt.query_futopt_order(client)
    for order_id, trade in trades.items():
        row = rows.get(order_id)
        if row is not None:
            futopt.resp2trade(row, trade)
    return None
