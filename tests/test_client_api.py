"""The session client's request wrapper `api` and the reply trimming `filter_key`.

The wrapped request methods here are small Python functions honouring the wrapper's contract
(attach `cb` to a future of `loop` and complete it), so every reply shape can be fed in.
"""
import asyncio
import collections.abc
import functools

import pytest

from dorvane.backend.socket import client

KEYS = ("person_id", "sol_vpn")


def run(coro_fn):
    """Run an async test body on a fresh loop and collect what the loop reports as errors."""
    errors = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
        return await coro_fn()

    result = asyncio.run(main())
    return result, errors


def replying(outcome, calls=None):
    """A request method whose request future completes with `outcome` (an exception or a value)."""
    def request(*args, cb=None, loop=None, **kwargs):
        if calls is not None:
            calls.append((args, kwargs))
        fut = loop.create_future()
        fut.add_done_callback(cb)
        if isinstance(outcome, BaseException):
            fut.set_exception(outcome)
        else:
            fut.set_result(outcome)
        return "discarded"
    return request


# ---------------------------------------------------------------------------------------------
# filter_key

@pytest.mark.parametrize("data, keep, expected", [
    ({"a": 1, "b": 2, "c": 3}, ("a", "c"), {"a": 1, "c": 3}),
    ({"a": 1}, ("a", "missing"), {"a": 1}),                 # nothing is added
    ({"A": 1, "a": 2}, ("a",), {"a": 2}),                    # exact, case included
    ({"a": 1, "b": 2}, (), {}),                              # no keys: everything goes
    ({1: "x", 1.0 + 1: "y", "1": "z"}, (1, 2), {1: "x", 2.0: "y"}),  # equality, not identity
])
def test_filter_key_trims_in_place(data, keep, expected):
    same = data
    assert client.filter_key(data, *keep) is None
    assert data is same and data == expected


def test_filter_key_takes_data_by_keyword_and_keeps_key_order():
    data = collections.OrderedDict([("z", 1), ("y", 2), ("x", 3), ("w", 4)])
    client.filter_key(data=data)
    assert data == {}
    data = collections.OrderedDict([("z", 1), ("y", 2), ("x", 3), ("w", 4)])
    client.filter_key(data, "w", "y")
    assert list(data) == ["y", "w"]


class LiveKeys:
    """A mapping whose keys() hands out the very list it keeps its key order in, which pop
    shortens."""

    def __init__(self, **items):
        self.order, self.items = list(items), dict(items)

    def keys(self):
        return self.order

    def pop(self, key):
        self.order.remove(key)
        return self.items.pop(key)


@pytest.mark.parametrize("keep", [("c",), ("a",), (), ("b", "d")])
def test_filter_key_walks_a_copy_of_the_keys(keep):
    # The keys are taken as list(data.keys()) before anything goes: a mapping that hands out a
    # list it then changes still loses every key not kept, and nothing is read past its end.
    data = LiveKeys(a=1, b=2, c=3, d=4)
    client.filter_key(data, *keep)
    assert data.order == [k for k in "abcd" if k in keep] and list(data.items) == data.order


def test_filter_key_without_keys_method_raises_attribute_error():
    with pytest.raises(AttributeError):
        client.filter_key(b"abc", "a")


# ---------------------------------------------------------------------------------------------
# api: the decorated function

def test_wrapped_function_carries_the_wrapped_functions_identity():
    def request(x, cb=None, loop=None):
        """Request docs."""
    request.marker = "kept"
    wrapped = client.api(*KEYS)(request)
    assert wrapped.__name__ == "request"
    assert wrapped.__qualname__ == request.__qualname__
    assert wrapped.__module__ == __name__
    assert wrapped.__doc__ == "Request docs."
    assert wrapped.__wrapped__ is request
    assert wrapped.marker == "kept"
    assert asyncio.iscoroutinefunction(wrapped)


def test_client_methods_are_coroutine_functions_with_their_names():
    for name in ("login", "logout"):
        method = getattr(client.Client, name)
        assert method.__name__ == name
        assert method.__qualname__ == "Client." + name
        assert asyncio.iscoroutinefunction(method)
        assert method.__wrapped__.__name__ == name


def test_never_running_the_coroutine_calls_nothing():
    calls = []
    wrapped = client.api(*KEYS)(replying({"person_id": "A"}, calls))
    coro = wrapped(1, 2)
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    coro.close()
    assert calls == []


def test_coroutine_protocol_returns_the_callers_future_in_its_first_step():
    async def body():
        wrapped = client.api(*KEYS)(replying({"person_id": "A", "x": 1}))
        coro = wrapped()
        assert coro.__await__() is coro
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        fut = stop.value.value
        assert isinstance(fut, asyncio.Future)
        with pytest.raises(RuntimeError):
            coro.send(None)                         # a coroutine runs once
        return await fut
    result, errors = run(body)
    assert result == {"person_id": "A"} and errors == []


# ---------------------------------------------------------------------------------------------
# api: replies reaching the caller

class Reply(dict):
    __getattr__ = dict.__getitem__


@pytest.mark.parametrize("keys, options, reply, expected", [
    (KEYS, {}, {"person_id": "A", "sol_vpn": "v", "token": "t"}, {"person_id": "A", "sol_vpn": "v"}),
    (KEYS, {}, {"token": "t"}, {}),                          # lacking keys stay absent
    ((), {}, {"a": 1}, {}),                                  # api(): everything is removed
    (KEYS, {"all": True}, {"token": "t"}, {"token": "t"}),   # all: untrimmed
    (KEYS, {"all": True}, b"raw bytes", b"raw bytes"),       # all: any type
    (KEYS, {"all": 0, "other": 1}, {"token": "t"}, {}),      # falsy all, unknown keyword ignored
])
def test_reply_is_trimmed_to_the_keys(keys, options, reply, expected):
    async def body():
        fut = await client.api(*keys, **options)(replying(reply))()
        return await fut, fut
    (result, fut), errors = run(body)
    assert result == expected and errors == []
    assert result is reply                                  # the same object, trimmed in place


def test_list_reply_trims_every_item_and_keeps_the_list():
    items = [Reply(person_id="A", x=1), Reply(person_id="B", y=2)]

    class Replies(list):
        pass
    reply = Replies(items)

    async def body():
        return await (await client.api("person_id")(replying(reply))())
    result, errors = run(body)
    assert result is reply and result == [{"person_id": "A"}, {"person_id": "B"}]
    assert result[0] is items[0]


@pytest.mark.parametrize("reply", [(("person_id", "A"),), b"bytes", None])
def test_reply_without_keys_fails_the_callers_future(reply):
    async def body():
        fut = await client.api(*KEYS)(replying(reply))()
        with pytest.raises(AttributeError):
            await fut
    _, errors = run(body)
    assert errors == []


def test_failed_request_fails_the_callers_future_with_the_same_exception():
    failure = ConnectionError("boom")

    async def body():
        fut = await client.api(*KEYS)(replying(failure))()
        with pytest.raises(ConnectionError) as info:
            await fut
        return info.value
    exc, errors = run(body)
    assert exc is failure and errors == []


# ---------------------------------------------------------------------------------------------
# api: keywords, the loop and the callbacks

def test_loop_and_cb_are_consumed_and_the_rest_passed_on():
    calls = []
    seen = []

    async def body():
        loop = asyncio.get_running_loop()
        wrapped = client.api(*KEYS)(replying({"person_id": "A"}, calls))
        fut = await wrapped(1, 2, loop=loop, cb=seen.append, extra="e")
        await fut
        await asyncio.sleep(0)
        return fut
    fut, errors = run(body)
    assert calls == [((1, 2), {"extra": "e"})]
    assert seen == [fut]                                    # cb gets the caller's future
    assert errors == []


def test_explicit_none_loop_and_falsy_cb():
    seen = []

    def request(cb=None, loop=None):
        seen.append(loop)
        return replying({"person_id": "A"})(cb=cb, loop=loop)

    async def body():
        fut = await client.api(*KEYS)(request)(loop=None, cb=0)
        await fut
        return fut
    fut, errors = run(body)
    assert seen[0] is fut.get_loop() and errors == []


@pytest.mark.parametrize("args", [(None, None), ("cb-positional",)])
def test_cb_or_loop_given_twice_fails_the_callers_future(args):
    def request(cb=None, loop=None):
        raise AssertionError("not reached")

    async def body():
        fut = await client.api(*KEYS)(request)(*args)
        with pytest.raises(TypeError, match="multiple values"):
            await fut
    _, errors = run(body)
    assert errors == []


def test_ordinary_exception_from_the_method_goes_to_the_future():
    failure = ValueError("bad request")

    def request(cb=None, loop=None):
        raise failure

    async def body():
        fut = await client.api(*KEYS)(request)()
        assert fut.done() and fut.exception() is failure
    _, errors = run(body)
    assert errors == []


def test_exception_outside_the_ordinary_family_leaves_the_coroutine():
    def request(cb=None, loop=None):
        raise KeyboardInterrupt

    loop = asyncio.new_event_loop()
    try:
        coro = client.api(*KEYS)(request)(loop=loop)
        with pytest.raises(KeyboardInterrupt):
            coro.send(None)
    finally:
        loop.close()


def test_callback_order_filter_then_method_callbacks_then_callers():
    order = []

    def request(cb=None, loop=None):
        fut = loop.create_future()
        fut.add_done_callback(cb)
        fut.add_done_callback(lambda f: order.append(("method", dict(f.result()))))
        fut.set_result({"person_id": "A", "token": "t"})

    async def body():
        fut = await client.api("person_id")(request)(cb=lambda f: order.append(("cb", f.result())))
        order.append(("await", await fut))
    _, errors = run(body)
    assert order == [("method", {"person_id": "A"}), ("cb", {"person_id": "A"}),
                     ("await", {"person_id": "A"})]
    assert errors == []


def test_method_binding_hands_the_instance_on():
    class Service:
        @client.api("v")
        def request(self, cb=None, loop=None):
            return replying({"v": self, "w": 2})(cb=cb, loop=loop)

    service = Service()

    async def body():
        return await (await service.request())
    result, errors = run(body)
    assert result == {"v": service} and errors == []
    assert isinstance(Service.__dict__["request"], type(client.Client.login))


# ---------------------------------------------------------------------------------------------
# Mended on 3.11: cancellation is no Exception

def test_cancelled_request_cancels_the_callers_future():
    def request(cb=None, loop=None):
        fut = loop.create_future()
        fut.add_done_callback(cb)
        fut.cancel()

    async def body():
        fut = await client.api(*KEYS)(request)()
        with pytest.raises(asyncio.CancelledError):
            await fut
        return fut
    fut, errors = run(body)
    assert fut.cancelled() and errors == []


def test_request_failed_with_cancelled_error_cancels_the_callers_future():
    async def body():
        fut = await client.api(*KEYS)(replying(asyncio.CancelledError()))()
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return fut
    fut, errors = run(body)
    assert fut.cancelled() and errors == []


@pytest.mark.parametrize("outcome", [{"person_id": "A"}, ValueError("late failure")])
def test_callers_future_already_cancelled_is_left_alone(outcome):
    requests = []

    def request(cb=None, loop=None):
        fut = loop.create_future()
        fut.add_done_callback(cb)
        requests.append(fut)

    async def body():
        fut = await client.api(*KEYS)(request)()
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(fut, 0)                  # the waiter cancels the caller's future
        reply = requests.pop()
        filtered = asyncio.get_running_loop().create_future()
        reply.add_done_callback(lambda _: filtered.set_result(None))  # runs right after the filter
        (reply.set_exception if isinstance(outcome, Exception) else reply.set_result)(outcome)
        await filtered                                      # the reply arrives afterwards
        return fut
    fut, errors = run(body)
    assert fut.cancelled()
    assert errors == []                                     # no InvalidStateError in the callback
