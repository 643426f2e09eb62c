"""Minimal local layer of the library module dorvane.backend.socket.protocol.session: the login and logout requests."""

__all__ = ["login_in", "logout_in"]


def login_in(person_id, passwd):
    raise NotImplementedError("login request not defined yet")


def logout_in(person_id):
    raise NotImplementedError("logout request not defined yet")
