"""Minimal local layer of the library module dorvane.backend.http.order: placing, changing, cancelling and refreshing futures and option orders."""
from dorvane.backend.http.utils import hash_orderid
from dorvane.order import OrderStatus, Status, Trade

__all__ = ["place_order", "update_order", "cancel_order", "update_status"]


def _succeeded(reply):
    success = reply.get("success", "")
    return isinstance(success, str) and success.lower() == "true"


def _order_body(client, account):
    return {
        "token": client._token,
        "ID": client.person_id,
        "IP": client._public_ip,
        "broker_id": account.get("broker_id", "") if account is not None else "",
        "account": account.get("account_id", "") if account is not None else "",
    }


def _post(client, uri_name, body):
    return client.session.post(getattr(client, uri_name), json=body).json()


def _status_of(reply, code, seqno):
    """The order status that a reply gives: its order id from the reply's "stock_id" and "seqno"
    (the given ones when the reply has none), PendingSubmit on success, Failed otherwise."""
    result = reply.get("result") or {}
    if not isinstance(result, dict):
        result = {}
    ok = _succeeded(reply)
    status = OrderStatus(order_id=hash_orderid(str(result.get("stock_id", code)), str(result.get("seqno", seqno))),
                         order_datetime=None, status=Status.PendingSubmit if ok else Status.Failed)
    status._msg = result.get("msg", "")
    return status, result, ok


def place_order(contract, order, client):
    """Posts the order to `f_order_uri` and returns a new trade of the contract, the order and the
    reply's status. On success the order takes the reply's "ordno" and "seqno"."""
    body = _order_body(client, order.account)
    body.update({
        "stock_id": contract.code,
        "price": order.price,
        "quantity": order.quantity,
        "action": order.action,
        "price_type": order.price_type,
        "order_type": order.order_type,
        "octype": order.octype,
    })
    reply = _post(client, "f_order_uri", body)
    status, result, ok = _status_of(reply, contract.code, "")
    if ok:
        order._ordno = result.get("ordno", "")
        order._seqno = result.get("seqno", "")
    return Trade(contract=contract, order=order, status=status)


def _change(trade, client, uri_name, fields):
    order = trade.order
    body = _order_body(client, order.account)
    body.update({"stock_id": trade.contract.code, "ordno": order.ordno, "seqno": order.seqno})
    body.update(fields)
    reply = _post(client, uri_name, body)
    status, _, _ = _status_of(reply, trade.contract.code, order.seqno)
    return Trade(contract=trade.contract, order=order, status=status)


def update_order(trade, client, price, qty):
    """Posts a price change (when `price` is not None) and a quantity change (when `qty` is not
    None) of the trade's order; returns a new trade whose status comes from the last reply."""
    changed = trade
    if price is not None:
        changed = _change(trade, client, "f_order_chprice_uri", {"price": price})
    if qty is not None:
        changed = _change(trade, client, "f_order_chqty_uri", {"quantity": qty})
    return changed


def cancel_order(trade, client):
    """Posts the cancellation of the trade's order; returns a new trade whose status comes from the
    reply."""
    return _change(trade, client, "f_order_cancel_uri", {})


def update_status(trades, client):
    """Queries the session's orders at `f_query_order_uri` and brings every trade of `trades` (order
    id -> trade) that a row names up to date in place: order number, status code, message, deal
    and cancel figures, then the remaining quantity and the status."""
    reply = _post(client, "f_query_order_uri", {"token": client._token, "user_id": client.person_id})
    rows = reply.get("result") if _succeeded(reply) else None
    if not isinstance(rows, list):
        return None
    for row in rows:
        trade = trades.get(hash_orderid(str(row.get("st_comno", "")), str(row.get("st_seqno", ""))))
        if trade is None:
            continue
        if row.get("st_ordno"):
            trade.order._ordno = row["st_ordno"]
        status = trade.status
        status._status_code = row.get("status_code", status._status_code)
        status._msg = row.get("msg", status._msg)
        status._deal_quantity = row.get("deal_quantity", status._deal_quantity)
        status._cancel_quantity = row.get("cancel_quantity", status._cancel_quantity)
        trade.calculate_remain()
        trade.fupdate_status()
    return None
