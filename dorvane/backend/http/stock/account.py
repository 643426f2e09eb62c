"""Minimal local layer of the library module dorvane.backend.http.stock.account: the stock account queries."""

from dorvane.backend.http._query_post import _post

__all__ = ["_query_funds_profitloss", "_query_real_profitloss", "_query_unreal_profitloss"]


def _query_funds_profitloss(account, client, tax):
    """Profit sums of a stock account; `tax` " " tax included, "1" tax excluded."""
    return _post(client, "s_funds_profitloss_uri", account, {"tax": tax})


def _query_real_profitloss(account, client, stock_id, stock_type, start_date, end_date, currency, action):
    """Realised profit and loss between `start_date` and `end_date`; an empty `stock_id` asks for
    every stock."""
    return _post(client, "s_real_profitloss_uri", account, {
        "stock_id": stock_id,
        "stock_type": stock_type,
        "start_date": start_date,
        "end_date": end_date,
        "currency": currency,
        "action": action,
    })


def _query_unreal_profitloss(account, client, stock_id, stock_type, currency, action):
    """Unrealised profit and loss; an empty `stock_id` asks for every stock."""
    return _post(client, "s_unreal_profitloss_uri", account, {
        "stock_id": stock_id,
        "stock_type": stock_type,
        "currency": currency,
        "action": action,
    })
