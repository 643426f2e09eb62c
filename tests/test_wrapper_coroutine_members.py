"""The C++ coroutines of the facade and of the session client, and the reply filter a request is
given, show the cycle collector every Python object they hold, each once: gc.get_referents lists
each object they were given exactly once (inside the argument tuple or dict, or the shared box, that
they keep whole), and a cycle through one of them is collected."""
import asyncio
import gc
import weakref

import pytest

from dorvane.backend.socket import client, wrapper


class Held:
    """A distinct object given to a coroutine; `holder` closes a cycle through it."""


def visited(holder):
    """What `holder` visits, with the containers it keeps whole (argument tuples and dicts) opened
    one level, and a box it holds (an elided function's shared state, the state a reply filter is
    bound to) opened with its own containers."""
    seen = []
    for obj in gc.get_referents(holder):
        seen.append(obj)
        if type(obj).__name__ == "box":
            seen.extend(visited(obj))
        elif type(obj) is tuple:
            seen.extend(obj)
        elif type(obj) is dict:
            seen.extend(obj.values())
    return seen


def closed(coro):
    """The coroutine, closed: it still holds what it was given until it goes."""
    coro.close()
    return coro


def reply_filter(h):
    """The filter that a wrapped call hands to the request as its `cb`."""
    given = {}

    def send(cb, loop):
        given["cb"] = cb

    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(StopIteration):
            client.api(h[0], all=h[1])(send)(loop=loop).send(None)
    finally:
        loop.close()
    return given["cb"]


# name -> (number of objects given, the object made with them)
ROWS = {
    "loginAsync": (5, lambda h: closed(wrapper.Wrapper.loginAsync(h[0], h[1], h[2], quote=h[3], loop=h[4]))),
    "logoutAsync": (2, lambda h: closed(wrapper.Wrapper.logoutAsync(h[0], loop=h[1]))),
    "update_statusAsync": (1, lambda h: closed(wrapper.Wrapper.update_statusAsync(h[0]))),
    "elided_call": (3, lambda h: closed(wrapper.elide(h[0])(h[1], key=h[2]))),
    "client_login": (3, lambda h: closed(client.Client.login(h[0], h[1], h[2]))),
    "api_call": (5, lambda h: closed(client.api(h[0], all=h[1])(h[2])(h[3], key=h[4]))),
    "reply_filter": (2, reply_filter),
}


@pytest.mark.parametrize("name", list(ROWS))
def test_each_held_object_is_visited_once_and_a_cycle_through_it_is_collected(name):
    count, make = ROWS[name]
    held = [Held() for _ in range(count)]
    obj = make(held)
    seen = visited(obj)
    assert [sum(x is h for x in seen) for h in held] == [1] * count

    for h in held:
        h.holder = obj
    refs = [weakref.ref(h) for h in held]
    del obj, held, h, seen
    gc.collect()
    assert [r() for r in refs] == [None] * count
