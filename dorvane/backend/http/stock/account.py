"""Minimal local layer of the library module dorvane.backend.http.stock.account: the stock account queries."""

__all__ = ["_query_funds_profitloss", "_query_real_profitloss", "_query_unreal_profitloss"]


def _post(client, uri_name, account, fields):
    """Posts the session's credentials, the account and `fields` as one JSON object to the client's
    endpoint `uri_name` and returns the decoded reply. An account without `get` goes out with empty
    ids and the back end answers for it."""
    fields_of = getattr(account, "get", None)
    body = {
        "token": client._token,
        "user_id": client.person_id,
        "broker_id": fields_of("broker_id", "") if fields_of else "",
        "account": fields_of("account_id", "") if fields_of else "",
    }
    body.update(fields)
    return client.session.post(getattr(client, uri_name), json=body).json()


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
