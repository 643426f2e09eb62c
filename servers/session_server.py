"""Login and logout answers of the loopback trading server.

The session requests, as the library's protocol layer sends them: request code 11 (login) and 12
(logout), each with a JSON object in UTF-8 as its (usually compressed) body. This module decodes
them on its own, without the library's code, and answers with JSON objects:

    server = TradingServer()
    await server.start()
    session = SessionService(server)          # registers the handlers for codes 11 and 12
    ...
    session.logins[0]                          # the decoded login body {"person_id", "passwd", ...}

A login reply holds the twelve login keys and more (`EXTRA_KEYS`), so the client's trimming shows.
Behaviour per instance (change the attributes at any time):
    login_ret / logout_ret   return code of the answer (0: success; else an empty error reply)
    login_person_id          person id put into the login reply (default: the request's)
    hold_login               when true, a login gets no answer (so a test can drop the connection)
    extra                    further keys merged into every login reply
    passwords                {person_id: password} to check (a wrong one gets return code 1), or None
"""
import json

from servers.trading_server import Reply

__all__ = ["LOGIN_KIVO", "LOGOUT_KIVO", "LOGIN_KEYS", "EXTRA_KEYS", "SessionService", "login_reply"]

LOGIN_KIVO = 11
LOGOUT_KIVO = 12
LOGIN_KEYS = ("person_id", "idno", "username", "sol_host", "sol_vpn", "sol_user", "sol_pass",
              "sol_timeout", "hts_group", "sol_clientName", "sol_cache", "sol_flag")
EXTRA_KEYS = ("token", "accounts", "server_time")


def login_reply(person_id, pid=""):
    """The full login reply for a person: the twelve keys plus EXTRA_KEYS."""
    return {
        "person_id": person_id,
        "idno": person_id,
        "username": "Test User " + person_id,
        "sol_host": "127.0.0.1:55555",
        "sol_vpn": "dorvane_uat",
        "sol_user": "quote_" + person_id,
        "sol_pass": "quote-secret",
        "sol_timeout": 5000,
        "hts_group": "H01",
        "sol_clientName": "{}_{}".format(person_id, pid),
        "sol_cache": "cache_uat",
        "sol_flag": 1,
        "token": "T-" + person_id,
        "accounts": [{"broker": "9A95", "account": "0012345"}],
        "server_time": "2024-01-02 09:00:00",
    }


def _encode(obj):
    return json.dumps(obj, ensure_ascii=False).encode("utf-8")


class SessionService:
    """Answers logins and logouts on a TradingServer (see the module documentation)."""

    def __init__(self, server, passwords=None):
        self.passwords = passwords      # {person_id: password} to check, or None for any
        self.login_ret = 0
        self.logout_ret = 0
        self.login_person_id = None
        self.hold_login = False
        self.extra = {}
        self.logins = []                # decoded login bodies, in order
        self.logouts = []               # decoded logout bodies, in order
        self.login_requests = []        # the Request objects of the logins
        server.handle(LOGIN_KIVO, self._login)
        server.handle(LOGOUT_KIVO, self._logout)

    def _login(self, request):
        body = json.loads(request.body.decode("utf-8"))
        self.logins.append(body)
        self.login_requests.append(request)
        if self.hold_login:
            return None
        ret = self.login_ret
        if not ret and self.passwords is not None and \
                self.passwords.get(body.get("person_id")) != body.get("passwd"):
            ret = 1
        if ret:
            return Reply(b"", ret=ret)
        person_id = body["person_id"] if self.login_person_id is None else self.login_person_id
        reply = login_reply(person_id, body.get("sol_opt", {}).get("pid", ""))
        reply.update(self.extra)
        return Reply(_encode(reply), compress=True)

    def _logout(self, request):
        body = json.loads(request.body.decode("utf-8"))
        self.logouts.append(body)
        if self.logout_ret:
            return Reply(b"", ret=self.logout_ret)
        return Reply(_encode({"person_id": body["person_id"], "status": "bye"}))
