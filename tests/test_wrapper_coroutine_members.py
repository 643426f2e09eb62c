"""The C++ coroutines of the facade and of the session client show the cycle collector every Python
object they hold, each once: gc.get_referents of a coroutine lists each object it was given exactly
once (inside the argument tuple or dict, or the shared box, that the coroutine keeps whole), and a
cycle through one of them is collected."""
import gc
import weakref

import pytest

from dorvane.backend.socket import client, wrapper


class Held:
    """A distinct object given to a coroutine; `coro` closes a cycle through it."""


def visited(coro):
    """What the coroutine visits, with the containers it keeps whole (argument tuples and dicts,
    the box of an elided function's shared state) opened one level."""
    seen = []
    for obj in gc.get_referents(coro):
        seen.append(obj)
        if type(obj) is tuple:
            seen.extend(obj)
        elif type(obj) is dict:
            seen.extend(obj.values())
        elif type(obj).__name__ == "box":
            seen.extend(gc.get_referents(obj))
    return seen


# name -> (number of objects given, the coroutine made with them)
ROWS = {
    "loginAsync": (5, lambda h: wrapper.Wrapper.loginAsync(h[0], h[1], h[2], quote=h[3], loop=h[4])),
    "logoutAsync": (2, lambda h: wrapper.Wrapper.logoutAsync(h[0], loop=h[1])),
    "update_statusAsync": (1, lambda h: wrapper.Wrapper.update_statusAsync(h[0])),
    "elided_call": (3, lambda h: wrapper.elide(h[0])(h[1], key=h[2])),
    "client_login": (3, lambda h: client.Client.login(h[0], h[1], h[2])),
    "api_call": (5, lambda h: client.api(h[0], all=h[1])(h[2])(h[3], key=h[4])),
}


@pytest.mark.parametrize("name", list(ROWS))
def test_each_held_object_is_visited_once_and_a_cycle_through_it_is_collected(name):
    count, make = ROWS[name]
    held = [Held() for _ in range(count)]
    coro = make(held)
    seen = visited(coro)
    assert [sum(obj is h for obj in seen) for h in held] == [1] * count
    coro.close()  # a closed coroutine still holds what it was given, until it goes

    for h in held:
        h.coro = coro
    refs = [weakref.ref(h) for h in held]
    del coro, held, h, seen
    gc.collect()
    assert [r() for r in refs] == [None] * count
