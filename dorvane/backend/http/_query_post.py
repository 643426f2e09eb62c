"""Minimal local layer shared by the library modules dorvane.backend.http.stock.account and dorvane.backend.http.futureoption.account: the post of one account query."""

__all__ = ["_post"]


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
