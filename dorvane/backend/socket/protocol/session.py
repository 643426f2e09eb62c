"""Minimal local layer of the library module dorvane.backend.socket.protocol.session: the login and logout requests."""
# The two session requests, as this layer defines them on the wire:
#
#   login   request code LOGIN_KIVO (11)
#           header mapping {"nKIVO": 11, "person_id": <person id>}; the connection compresses the
#           body (the default `compress`).
#           body: a JSON object in UTF-8 with the keys "person_id", "passwd", "flag" (the login
#           flag, "V" for the session client), "sol" (true when the quote-messaging fields are
#           wanted in the reply) and "sol_opt" (the caller's mapping of text values, for the
#           session client {"pid": <process id>, "port": <local TCP port>}; {} when None).
#   logout  request code LOGOUT_KIVO (12)
#           header mapping {"nKIVO": 12, "person_id": <person id>}; body: the JSON object
#           {"person_id": <person id>} in UTF-8, compressed like the login.
#
# Replies to both codes carry a JSON object in UTF-8; the parsers registered in `kivo_map` turn
# it into a `Reply`, a dict that also gives its keys as attributes. A successful login reply
# holds at least "person_id", "idno", "username", "sol_host", "sol_vpn", "sol_user", "sol_pass",
# "sol_timeout", "hts_group", "sol_clientName", "sol_cache" and "sol_flag"; a server may add more.
# An empty body parses to an empty `Reply`; a body that is not a JSON object raises ValueError.
import json

from dorvane.backend.socket.protocol.requests import register

__all__ = ["login_in", "logout_in"]

LOGIN_KIVO = 11
LOGOUT_KIVO = 12


class Reply(dict):
    """A reply mapping whose keys are also readable as attributes."""

    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None


def _encode(fields):
    return json.dumps(fields, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def parse_reply(body):
    """A reply body (JSON object in UTF-8) as a `Reply`."""
    if not body:
        return Reply()
    try:
        value = json.loads(bytes(body).decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError("session reply is not a JSON object: {}".format(exc)) from exc
    if not isinstance(value, dict):
        raise ValueError("session reply is not a JSON object: {!r}".format(type(value).__name__))
    return Reply(value)


def login_in(person_id, passwd, flag, sol=False, sol_opt=None):
    """The login request: (header mapping, payload bytes)."""
    header = {"nKIVO": LOGIN_KIVO, "person_id": person_id}
    payload = _encode({
        "person_id": person_id,
        "passwd": passwd,
        "flag": flag,
        "sol": bool(sol),
        "sol_opt": dict(sol_opt or {}),
    })
    return header, payload


def logout_in(person_id):
    """The logout request: (header mapping, payload bytes)."""
    return {"nKIVO": LOGOUT_KIVO, "person_id": person_id}, _encode({"person_id": person_id})


# No builders: both requests arrive as ready payloads; the replies are parsed here.
register(LOGIN_KIVO, None, parse_reply)
register(LOGOUT_KIVO, None, parse_reply)
