"""Minimal local layer of the library module dorvane.backend.http.futureoption.account: the futures and options account queries."""

from dorvane.backend.http._query_post import _post

__all__ = ["_query_margin", "_query_open_position", "_query_settle_profitloss"]


def _query_margin(currency, margin_type, account, client):
    """Margin of a futures and options account in `currency` ("NTX", "USX", "NTD", ...);
    `margin_type` "1" real-time, "2" risk."""
    return _post(client, "f_margin_uri", account, {"currency": currency, "margin_type": margin_type})


def _query_open_position(product_type, query_type, account, client):
    """Open positions; `product_type` 0 all, 1 future, 2 option, 3 usd base; `query_type` 0 detail,
    1 summary."""
    return _post(client, "f_open_position_uri", account,
                 {"product_type": product_type, "query_type": query_type})


def _query_settle_profitloss(product_type, summary, start_date, end_date, currency, account, client):
    """Settled profit and loss between `start_date` and `end_date` ("%Y%m%d")."""
    return _post(client, "f_settle_profitloss_uri", account, {
        "product_type": product_type,
        "summary": summary,
        "start_date": start_date,
        "end_date": end_date,
        "currency": currency,
    })
