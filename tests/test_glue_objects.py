"""The glue's functions, coroutines and generators behave as Python's own.

Each row of the table is one operation of the protocols (send, throw, close, await, iteration,
state inspection, collection of cycles, attribute assignment, copy and pickle). It runs once against
the objects of the test-only extension module glue_probe (tests/glue_probe/glue_probe.cpp) and once
against their twins below, written as `def`, `async def` and generators; the two outcomes (result,
exception type and text, warnings, unraisable errors, asyncio's log lines) must be the same.
"""
import asyncio
import collections
import copy
import gc
import inspect
import logging
import os
import pickle
import re
import subprocess
import sys
import types
import warnings
import weakref

import pytest
from hypothesis import given, settings, strategies as st

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "glue_probe"))

import glue_probe  # noqa: E402
from support.fresh_runs import SLOWER, run_fresh_interpreters, threads_program  # noqa: E402
from support.sanitized import examples  # noqa: E402


# The twins: same names, parameters and behaviour as the module's objects.
def positional(a, b):
    return (a, b)


def defaults(a, b=2, *, c=3):
    return (a, b, c)


def varargs(a, *args, **kwargs):
    return (a, args, kwargs)


def fresh():
    def f(*args):
        return args
    return f


def capture(obj):
    def f():
        return obj
    return f


def with_default(obj):
    def f(x=obj):
        return x
    return f


def direct(a, b=2, **kwargs):
    return (a, b, kwargs)


def bound(obj):
    def f(x):
        return (obj, x)
    return f


class Box:
    def get(self):
        return self

    def named(self, x):
        return ("held", self, x)


async def returns(value):
    return value


async def awaits(aw):
    return await aw


async def holds(obj, aw):
    await aw
    return obj


async def catches(aw, mode, then=None):
    try:
        return await aw
    except BaseException as e:
        if mode == "return":
            return "caught " + type(e).__name__
        if mode == "raise":
            raise KeyError("replaced")
        return await then


async def stops():
    raise StopIteration("inside")


def yields(items):
    for x in items:
        yield x


def gen_stops(items):
    yield from items
    raise StopIteration("inside")


PYTHON = types.SimpleNamespace(**{name: globals()[name] for name in (
    "positional", "defaults", "varargs", "fresh", "capture", "with_default", "direct", "bound", "Box", "returns",
    "awaits", "holds", "catches", "stops", "yields", "gen_stops")})
GLUE = glue_probe


# Helpers of the rows.
class Suspend:
    """An awaitable that suspends once (yielding "suspended") and records what reaches it."""

    def __init__(self, result="given", events=None):
        self.result = result
        self.events = [] if events is None else events

    def __await__(self):
        try:
            sent = yield "suspended"
        except BaseException as e:
            self.events.append("got " + type(e).__name__)
            raise
        self.events.append(("sent", sent))
        return self.result


def drive(coro, *sent):
    """Sends None, then each of `sent`; returns what each send gave, or the end."""
    out = []
    for value in (None,) + sent:
        try:
            out.append(coro.send(value))
        except StopIteration as e:
            out.append(("StopIteration", e.value))
            break
        except BaseException as e:
            out.append(Raised.of(e))
            break
    return out


async def await_twice(coro):
    first = await coro
    return first, await coro


async def await_once(coro):
    return await coro


class Raised(collections.namedtuple("Raised", "type text")):
    """An exception as the rows compare it: its type's name and its text, with addresses and the
    two modules' names made alike."""

    @classmethod
    def of(cls, e):
        return None if e is None else cls(type(e).__name__, alike(str(e)))


def alike(text):
    """`text` with addresses and the names of the two modules made alike."""
    text = re.sub("0x[0-9a-f]+", "0x", text)
    return re.sub(r"\b(glue_probe|test_glue_objects)\b", "<module>", text)


def attempt(call):
    """What `call()` returns, or the Raised it raised."""
    try:
        return call()
    except BaseException as e:
        return Raised.of(e)


def chain(e):
    """The exception `e`, its __context__ and __cause__."""
    return [Raised.of(x) for x in (e, e.__context__, e.__cause__)]


def collected(make):
    """Makes a cycle with make() (which returns the object to watch), drops it and collects: whether
    the object is gone."""
    ref = weakref.ref(make())
    gc.collect()
    return ref() is None


def list_cycle(make_object, first_send=False):
    """A row: a cycle through a list, where make_object(ns, box) holds the list `box`, which then
    holds it back; with `first_send` the object is started (suspended) before it is dropped."""
    def operation(ns):
        def make():
            box = []
            obj = make_object(ns, box)
            box.append(obj)
            if first_send:
                obj.send(None)
            return obj
        return collected(make)
    return operation


# The rows: name -> operation(ns), where ns is GLUE or PYTHON.
def send_rows():
    def send_none_to_fresh(ns):
        return drive(ns.returns(5))

    def send_value_to_fresh(ns):
        c = ns.returns(5)
        return attempt(lambda: c.send(1)), drive(c)

    def send_value_to_fresh_generator(ns):
        g = ns.yields([1, 2])
        return attempt(lambda: g.send(1)), list(g)

    def send_through_await(ns):
        s = Suspend()
        return drive(ns.awaits(s), "x"), s.events

    def send_after_end(ns):
        c = ns.returns(5)
        drive(c)
        return attempt(lambda: c.send(None)), attempt(lambda: c.send(1))

    def next_after_end_of_generator(ns):
        g = ns.yields([1])
        return list(g), attempt(lambda: next(g)), attempt(lambda: g.send(None))

    def generator_send(ns):
        g = ns.yields(["a", "b"])
        return next(g), g.send("ignored"), attempt(lambda: g.send(None))

    return locals()


def throw_rows():
    def throw_class_into_fresh(ns):
        c = ns.returns(5)
        return attempt(lambda: c.throw(ValueError)), attempt(lambda: c.send(None))

    def throw_instance_into_suspended(ns):
        s = Suspend()
        c = ns.awaits(s)
        c.send(None)
        return attempt(lambda: c.throw(ValueError("boom"))), s.events, attempt(lambda: c.send(None))

    def throw_class_and_value(ns):
        s = Suspend()
        c = ns.awaits(s)
        c.send(None)
        return attempt(lambda: c.throw(ValueError, "text")), s.events


    def throw_keeps_the_traceback(ns):
        try:
            raise ValueError("with traceback")
        except ValueError as e:
            given = e.__traceback__
        c = ns.awaits(Suspend())
        c.send(None)
        try:
            c.throw(ValueError, ValueError("x"), given)
        except ValueError as e:
            tb, seen = e.__traceback__, []
            while tb is not None:
                seen.append(tb)
                tb = tb.tb_next
            return given in seen
        return "not raised"

    def throw_into_finished(ns):
        c = ns.returns(5)
        drive(c)
        return attempt(lambda: c.throw(ValueError("late"))), attempt(lambda: c.throw(GeneratorExit))

    def throw_into_finished_generator(ns):
        g = ns.yields([1])
        list(g)
        return attempt(lambda: g.throw(ValueError("late")))

    def throw_stopiteration_into_fresh(ns):
        c = ns.returns(5)
        return attempt(lambda: c.throw(StopIteration)), attempt(lambda: c.send(None))

    def throw_stopiteration_into_suspended(ns):
        c = ns.awaits(Suspend())
        c.send(None)
        try:
            c.throw(StopIteration("thrown"))
        except BaseException as e:
            return chain(e)

    def throw_stopiteration_into_generator(ns):
        g = ns.yields([1, 2])
        next(g)
        try:
            g.throw(StopIteration)
        except BaseException as e:
            return chain(e)

    def throw_caught_returns(ns):
        s = Suspend()
        c = ns.catches(s, "return")
        c.send(None)
        return attempt(lambda: c.throw(ValueError("boom"))), s.events

    def throw_caught_returns_value(ns):
        c = ns.catches(Suspend(), "return")
        c.send(None)
        try:
            c.throw(ValueError("boom"))
        except StopIteration as e:
            return e.value

    def raise_while_handling_thrown(ns):
        c = ns.catches(Suspend(), "raise")
        c.send(None)
        try:
            c.throw(ValueError("boom"))
        except BaseException as e:
            return chain(e)

    def throw_caught_awaits_again(ns):
        then = Suspend("then")
        c = ns.catches(Suspend(), "again", then)
        c.send(None)
        return c.throw(ValueError("boom")), drive(c, "x")[1:], then.events

    return locals()


def bad_throw_rows():
    # throw() with arguments it refuses, into a suspended, a fresh and a generator object.
    def rows(*arguments):
        def into_suspended(ns):
            s = Suspend()
            c = ns.awaits(s)
            c.send(None)
            return attempt(lambda: c.throw(*arguments)), s.events, drive(c, "after")

        def into_fresh(ns):
            c = ns.returns(5)
            return attempt(lambda: c.throw(*arguments)), drive(c)

        def into_generator(ns):
            g = ns.yields([1, 2])
            next(g)
            return attempt(lambda: g.throw(*arguments)), list(g)
        return into_suspended, into_fresh, into_generator

    table = {}
    for kind, arguments in [("instance_and_value", (ValueError("a"), "b")),
                            ("bad_traceback", (ValueError, ValueError("a"), "not a traceback")),
                            ("not_an_exception", (42,)),
                            ("not_an_exception_class", (int,))]:
        for row in rows(*arguments):
            table["throw_{}_{}".format(kind, row.__name__)] = row
    return table


def close_rows():
    def close_fresh(ns):
        c = ns.returns(5)
        return c.close(), attempt(lambda: c.send(None)), c.close()

    def close_suspended(ns):
        s = Suspend()
        c = ns.awaits(s)
        c.send(None)
        return c.close(), s.events, attempt(lambda: c.send(None))

    def close_finished(ns):
        c = ns.returns(5)
        drive(c)
        return c.close(), c.close()

    def close_caught_returns(ns):
        s = Suspend()
        c = ns.catches(s, "return")
        c.send(None)
        return c.close(), s.events

    def close_caught_raises(ns):
        c = ns.catches(Suspend(), "raise")
        c.send(None)
        try:
            c.close()
        except BaseException as e:
            return chain(e)

    def close_ignoring_generatorexit(ns):
        then = Suspend("then")
        c = ns.catches(Suspend(), "again", then)
        c.send(None)
        out = attempt(c.close)
        return out, then.events, drive(c, "x")

    def close_generator(ns):
        g = ns.yields([1, 2])
        fresh = ns.yields([1])
        next(g)
        return g.close(), attempt(lambda: next(g)), fresh.close(), list(fresh)

    return locals()


def await_rows():
    def await_result(ns):
        return drive(await_once(ns.awaits(Suspend())), "x")

    def re_await(ns):
        return attempt(lambda: drive(await_twice(ns.returns(5))))

    def second_awaiter(ns):
        s = Suspend()
        c = ns.awaits(s)
        first = await_once(c)
        first.send(None)
        second = await_once(c)
        out = attempt(lambda: second.send(None)), drive(first, "x"), s.events
        return out

    def await_non_awaitable(ns):
        c = ns.awaits(42)
        return attempt(lambda: c.send(None))

    def await_a_generator(ns):
        return drive(ns.awaits(yields([1, 2])), None, None)

    def await_a_generator_based_coroutine(ns):
        @types.coroutine
        def suspend_twice():
            a = yield 1
            b = yield 2
            return a, b
        return drive(ns.awaits(suspend_twice()), "a", "b")

    def stopiteration_inside(ns):
        try:
            ns.stops().send(None)
        except BaseException as e:
            return chain(e)

    def stopiteration_inside_generator(ns):
        try:
            list(ns.gen_stops([1, 2]))
        except BaseException as e:
            return chain(e)

    def in_asyncio(ns):
        async def main():
            fut = asyncio.get_running_loop().create_future()
            asyncio.get_running_loop().call_soon(fut.set_result, "done")
            return await ns.awaits(fut), await ns.catches(asyncio.sleep(0), "raise")
        return asyncio.run(main())

    def cancelled_in_asyncio(ns):
        async def main():
            task = asyncio.ensure_future(ns.catches(asyncio.sleep(10), "return"))
            await asyncio.sleep(0)
            task.cancel()
            return await task
        return asyncio.run(main())

    def identity(ns):
        c, g = ns.returns(1), ns.yields([])
        out = (c.__name__, c.__qualname__, g.__name__, g.__qualname__, inspect.isawaitable(c),
               isinstance(c, types.CoroutineType) or asyncio.iscoroutine(c),
               inspect.isawaitable(g), asyncio.iscoroutinefunction(ns.returns),
               iter(g) is g, hasattr(g, "__await__"))
        c.close()
        return out

    def coroutine_state(ns):
        seen = []

        class Look:
            def __await__(self):
                seen.append(inspect.getcoroutinestate(c))
                return (yield "suspended")

        c = ns.awaits(Look())
        seen.append(inspect.getcoroutinestate(c))
        c.send(None)
        seen.append((inspect.getcoroutinestate(c), c.cr_suspended, c.cr_running))
        drive(c, None)
        seen.append((inspect.getcoroutinestate(c), c.cr_suspended))
        return seen

    def generator_state(ns):
        g = ns.yields([1])
        seen = [inspect.getgeneratorstate(g)]
        next(g)
        seen.append((inspect.getgeneratorstate(g), g.gi_suspended, g.gi_running))
        list(g)
        seen.append((inspect.getgeneratorstate(g), g.gi_suspended))
        return seen

    def awaiting_attribute(ns):
        s = Suspend()
        c = ns.awaits(s)
        before = c.cr_await
        c.send(None)
        during = type(c.cr_await).__name__
        drive(c, None)
        return before, during, c.cr_await

    return locals()


def drop_rows():
    def never_awaited(ns):
        ns.returns(5)
        gc.collect()
        return "dropped"

    def never_awaited_after_failed_send(ns):
        c = ns.returns(5)
        attempt(lambda: c.send(1))
        del c
        return "dropped"

    def closed_is_not_warned(ns):
        ns.returns(5).close()
        return "dropped"

    def dropped_suspended_is_closed(ns):
        s = Suspend()
        c = ns.awaits(s)
        c.send(None)
        del c
        gc.collect()
        return s.events

    def dropped_ignoring_generatorexit(ns):
        c = ns.catches(Suspend(), "again", Suspend())
        c.send(None)
        del c
        gc.collect()
        return "dropped"

    def dropped_suspended_generator_closed(ns):
        items = [1, 2]
        g = ns.yields(items)
        next(g)
        ref = weakref.ref(g)
        del g
        return ref() is None

    return locals()


def cycle_rows():
    def cycle_through_awaited_object(ns):
        events = []

        def make():
            s = Suspend(events=events)
            c = ns.awaits(s)
            s.owner = c
            c.send(None)
            return c
        return collected(make), events

    def cycle_through_generator(ns):
        def make():
            items = [1]
            g = ns.yields(items)
            items.append(g)
            next(g)
            return g
        return collected(make)

    def cycle_through_function_dict(ns):
        def make():
            f = ns.fresh()
            f.me = f
            return f
        return collected(make)

    def cycle_through_doc(ns):
        def make():
            f = ns.fresh()
            f.__doc__ = [f]
            return f
        return collected(make)

    def cycle_through_bound_method(ns):
        def make():
            box = ns.Box()
            box.me = box.get
            return box
        return collected(make)

    def pending_task_collected(ns):
        # A task pending on a future nothing will settle, its loop closed: the task, its coroutine
        # and the future form a cycle; collecting it reports the pending task and closes the
        # coroutine.
        def make():
            loop = asyncio.new_event_loop()
            fut = loop.create_future()
            task = loop.create_task(ns.holds(fut, fut))
            loop.run_until_complete(asyncio.sleep(0))
            loop.close()
            return task
        return collected(make)

    rows = dict(locals())
    rows.update({
        "cycle_through_coroutine_argument": list_cycle(lambda ns, box: ns.holds(box, Suspend()), first_send=True),
        "cycle_through_fresh_coroutine": list_cycle(lambda ns, box: ns.holds(box, Suspend())),
        "cycle_through_captured_object": list_cycle(lambda ns, box: ns.capture(box)),
        "cycle_through_default": list_cycle(lambda ns, box: ns.with_default(box)),
        "cycle_through_object_held_for_a_function": list_cycle(lambda ns, box: ns.bound(box)),
    })
    return rows


def attribute_rows():
    def assign(attribute, value):
        def operation(ns):
            f = ns.fresh()
            assigned = attempt(lambda: setattr(f, attribute, value))
            # Only a refused assignment leaves a function that is safe to call with a bad keyword.
            call = attempt(lambda: f(bad=1)) if isinstance(assigned, Raised) else None
            return assigned, repr(getattr(f, attribute)), call
        return operation

    def delete(attribute):
        def operation(ns):
            f = ns.fresh()
            deleted = attempt(lambda: delattr(f, attribute))
            call = attempt(lambda: f(bad=1)) if isinstance(deleted, Raised) else None
            return deleted, repr(getattr(f, attribute, "<missing>")), call
        return operation

    rows = {
        "qualname_bytes": assign("__qualname__", b"x"),
        "qualname_int": assign("__qualname__", 1),
        "qualname_str": assign("__qualname__", "renamed.f"),
        "qualname_str_subclass": assign("__qualname__", type("S", (str,), {})("sub")),
        "name_bytes": assign("__name__", b"x"),
        "name_none": assign("__name__", None),
        "name_str": assign("__name__", "renamed"),
        "doc_int": assign("__doc__", 42),
        "doc_bytes": assign("__doc__", b"doc"),
        "doc_none": assign("__doc__", None),
        "module_int": assign("__module__", 5),
        "del_qualname": delete("__qualname__"),
        "del_name": delete("__name__"),
        "del_doc": delete("__doc__"),
        "del_module": delete("__module__"),
    }

    def renamed_function_errors(ns):
        f = ns.fresh()
        f.__qualname__ = "renamed.f"
        f.__name__ = "other"
        return attempt(lambda: f(bad=1)), alike(repr(f))

    rows["renamed_function_errors"] = renamed_function_errors
    return rows


def copy_rows():
    def same(ns, name):
        f = getattr(ns, name) if isinstance(name, str) else name(ns)
        out = [attempt(lambda: copy.copy(f) is f), attempt(lambda: copy.deepcopy(f) is f)]
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            out.append(attempt(lambda: pickle.loads(pickle.dumps(f, protocol)) is f))
        return out

    return {
        "copy_module_function": lambda ns: same(ns, "positional"),
        "copy_coroutine_function": lambda ns: same(ns, "returns"),
        "copy_generator_function": lambda ns: same(ns, "yields"),
        "copy_method": lambda ns: same(ns, lambda ns: ns.Box.get),
        "copy_nested_function": lambda ns: same(ns, lambda ns: ns.fresh()),
        "copy_renamed_function": lambda ns: same(ns, lambda ns: _renamed(ns)),
        "copy_in_a_container": lambda ns: [attempt(lambda: copy.deepcopy([ns.defaults])[0] is ns.defaults),
                                           attempt(lambda: pickle.loads(pickle.dumps([ns.defaults]))[0]
                                                   is ns.defaults)],
    }


def _renamed(ns):
    f = ns.fresh()
    f.__qualname__ = "positional"
    return f


def call_rows():
    def call(name, *args, **kwargs):
        def operation(ns):
            return getattr(ns, name)(*args, **kwargs)
        return operation

    return {
        "positional_fits": call("positional", 1, b=2),
        "positional_missing": call("positional", 1),
        "defaults_keyword_only": call("defaults", 1, 2, 3),
        "defaults_given": call("defaults", 1, c=4),
        "varargs": call("varargs", 1, 2, 3, x=4),
        "varargs_twice": call("varargs", 1, a=2),
        # Functions bound directly, and given a held value first: as a `def` and its closure.
        "direct_by_keyword": call("direct", b=3, a=1, z=4),
        "direct_default": call("direct", 1),
        "direct_twice": call("direct", 1, 2, b=3),
        "direct_missing": call("direct", b=3),
        "held_first_by_keyword": lambda ns: ns.bound("held")(x=1),
        "held_first_missing": lambda ns: attempt(lambda: ns.bound("held")()),
        "held_first_method": lambda ns: [(r[0], type(r[1]).__name__, r[2])
                                         for r in (ns.Box().named(1), ns.Box().named(x=2))],
        "held_first_method_twice": lambda ns: attempt(lambda: ns.Box().named(1, x=2)),
        "signature": lambda ns: [str(inspect.signature(getattr(ns, n))) for n in
                                 ("positional", "defaults", "varargs", "direct", "returns", "catches")]
                                + [str(inspect.signature(ns.bound(0))), str(inspect.signature(ns.Box.named))],
    }


TABLE = {}
for group in (send_rows, throw_rows, bad_throw_rows, close_rows, await_rows, drop_rows, cycle_rows, attribute_rows,
              copy_rows, call_rows):
    TABLE.update(group())


class Observed:
    """What running one operation showed: its outcome, warnings, unraisable errors and asyncio's
    log lines (first lines), all collected before the comparison."""

    def __init__(self, operation, ns):
        gc.collect()  # garbage of earlier tests (their sockets' warnings) is not this operation's
        records, unraisable = [], []
        handler = logging.Handler()
        handler.emit = lambda record: records.append(record.getMessage().splitlines()[0])
        logger = logging.getLogger("asyncio")
        logger.addHandler(handler)
        hook, sys.unraisablehook = sys.unraisablehook, lambda u: unraisable.append(
            (type(u.exc_value).__name__, str(u.exc_value)))
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                try:
                    self.outcome = ("returned", operation(ns))
                except BaseException as e:
                    self.outcome = ("raised",) + tuple(chain(e))
                gc.collect()
        finally:
            sys.unraisablehook = hook
            logger.removeHandler(handler)
        self.warnings = [(w.category.__name__, str(w.message)) for w in caught]
        self.unraisable = unraisable
        self.logged = records

    def __eq__(self, other):
        return vars(self) == vars(other)

    def __repr__(self):
        return repr(vars(self))


@pytest.fixture(params=["raise", "Step.fail"])
def step_failure(request):
    """The probe's machines end with an exception by a C++ throw or by answering Step::fail."""
    glue_probe.fail_by_step(request.param == "Step.fail")
    yield
    glue_probe.fail_by_step(False)


@pytest.mark.parametrize("name", list(TABLE))
def test_glue_object_behaves_as_python(name, step_failure):
    operation = TABLE[name]
    expected = Observed(operation, PYTHON)
    assert Observed(operation, GLUE) == expected


# First use of the glue's types from many threads at once, in fresh interpreters: each must end.
def test_first_use_from_threads_in_a_fresh_interpreter():
    source = threads_program([os.path.join(HERE, "glue_probe")], "import glue_probe as ns", """
        ns.returns(1).close()
        list(ns.yields([1]))
        ns.fresh()(1)
    """)
    outcomes = run_fresh_interpreters(source, 40)
    assert [o for o in outcomes if o != "ended"] == []


# Argument binding: any call binds as a `def` with the same parameter list binds it, or fails with
# the same TypeError. Keywords come in any order, each named by the interned text the source
# writes, by a text made at run time or by a str subclass; positional-only names given by keyword,
# duplicates, unknown names and too many or too few arguments included. `many` has more parameters
# than the binder keeps on its stack; gen_header has twelve with defaults.
def many(p0, p1, /, a, b, c, d=4, e=5, f=6, g=7, h=8, *args, k, l=11, n, o=14, q=15, r=16, w, **kwargs):
    return (p0, p1, a, b, c, d, e, f, g, h, args, k, l, n, o, q, r, w, kwargs)


def gen_header(net_length=0, bEncrypt=0, bCompress=0, bContinue=0, bHts=1, nDecompressLength=0, nKIVO=0,
               nHandle=666, ip4="", person_id="", nDecodeLength=0, nOutHandle=105):
    fields = dict(locals())
    return {**fields, "ip4": ip_convert(ip4), "ret": 0}


class Key(str):
    pass


KEY_FORMS = [lambda name: name, lambda name: (name + ".")[:-1], Key]


def bound_or_error(fn, args, kwargs):
    try:
        return "returned", fn(*args, **kwargs)
    except TypeError as e:
        return "TypeError", str(e)


def ip_convert(ip4):
    from dorvane.backend.socket.protocol.utils import ip_convert
    return ip_convert(ip4)


def binding_pairs():
    from dorvane.backend.socket.protocol import core
    return [(glue_probe.many, many), (core.gen_header, gen_header)]


@given(data=st.data(), which=st.sampled_from([0, 1]))
@settings(max_examples=examples(300), deadline=None)
def test_binding_matches_a_def(data, which):
    glue, ref = binding_pairs()[which]
    names = list(inspect.signature(ref).parameters)
    names = [n for n in names if n not in ("args", "kwargs")] + ["zz", "kwargs"]
    npos = data.draw(st.integers(0, len(names) + 1), label="positional")
    chosen = data.draw(st.lists(st.sampled_from(names), unique=True, max_size=len(names)), label="keywords")
    forms = data.draw(st.lists(st.sampled_from(KEY_FORMS), min_size=len(chosen), max_size=len(chosen)))
    # Text values throughout: gen_header converts ip4, which must be dotted text.
    args = tuple("10.0.0.%d" % i for i in range(npos))
    kwargs = {form(name): "10.0.1.%d" % i for i, (name, form) in enumerate(zip(chosen, forms))}
    assert bound_or_error(glue, args, kwargs) == bound_or_error(ref, args, kwargs)


class Meddling(str):
    """A keyword whose comparison runs code: it renames the function being called (`victim`), or
    raises."""

    victim = None
    __hash__ = str.__hash__

    def __eq__(self, other):
        if str(self).startswith("raise"):
            raise ZeroDivisionError("compared")
        if Meddling.victim is not None:
            Meddling.victim.__qualname__, Meddling.victim = "renamed", None
        return str.__eq__(self, other)


# The keyword is compared by value only where no parameter holds it by identity; what its
# comparison does (renaming the function, raising) shows as a `def` shows it.
@pytest.mark.parametrize("keywords", [
    {"c": 3, "k": 1, "n": 2, "w": 3, Meddling("zz"): 9},
    {Meddling("c"): 3, "k": 1, "n": 2},
    {Meddling("a"): 3, "k": 1, "n": 2, "w": 3},
    {Meddling("bogus"): 3},
    {Meddling("raise"): 3},
    {"k": 1, Meddling("raise_late"): 3, "p0": 1},
], ids=["to-kwargs", "missing", "duplicate", "unknown", "raises", "raises-late"])
def test_binding_with_keywords_that_compare_by_code(keywords):
    def outcome(fn):
        Meddling.victim = fn
        try:
            return "returned", fn(1, 2, 3, 4, **keywords)
        except (TypeError, ZeroDivisionError) as e:
            return type(e).__name__, str(e)
        finally:
            Meddling.victim, fn.__qualname__ = None, "many"
    assert outcome(glue_probe.many) == outcome(many)


def closed(obj):
    if hasattr(obj, "close"):
        obj.close()
    return obj


# What a glue type reports about itself (the attributes every type has: its names, module,
# documentation, bases, dictionary) is of the kind the interpreter's own type reports, and its names
# are the same. Left out: the layout (sizes, offsets, flags), which is the objects' own; and the
# function type has no constructor, so it has no constructor's signature.
LAYOUT = {"__basicsize__", "__itemsize__", "__dictoffset__", "__weakrefoffset__", "__flags__"}


@pytest.mark.parametrize("builtin, make", [
    (types.FunctionType, lambda: glue_probe.positional),
    (types.CoroutineType, lambda: glue_probe.returns(1)),
    (types.GeneratorType, lambda: glue_probe.yields([])),
])
def test_glue_type_reports_what_the_builtin_type_reports(builtin, make):
    glue = type(closed(make()))
    assert glue.__name__ == builtin.__name__
    for name in sorted(set(dir(type)) - LAYOUT):
        expected, got = attempt(lambda: getattr(builtin, name)), attempt(lambda: getattr(glue, name))
        if name in ("__module__", "__name__", "__qualname__"):
            assert got == expected, name
        elif name == "__mro__":
            assert [c.__qualname__ for c in got] == [c.__qualname__ for c in expected]
        elif name == "__text_signature__" and builtin is types.FunctionType:
            assert got is None
        else:
            assert type(got) is type(expected), (name, got, expected)


# Chains of glue coroutines, each awaiting the next, of any depth: sending into one, throwing into
# it, closing it, releasing it and collecting it as garbage end with RecursionError or finish, and
# never overflow the C stack. Each runs in a fresh interpreter (a crash there is a failed run).
# A suspended chain deeper than the recursion limit is made on a thread with a large stack and a
# limit raised for it, and then handled on the main thread with that limit still raised, where
# only a release, close and collection that do not nest can go through.
DEEP_CHAIN = """
import gc, sys, threading
sys.path.insert(0, {probe!r})
sys.path.insert(0, {root!r})
import glue_probe
from dorvane.backend.socket.wrapper import elide
case, depth = {case!r}, {depth}

class Pause:
    owner = None
    def __await__(self):
        yield "paused"

def suspended_chain(leaf):
    c = leaf
    for _ in range(depth):
        c = glue_probe.awaits(c)
    sys.setrecursionlimit(10 * depth + 1000)
    threading.stack_size(1 << 30)
    sent = []
    t = threading.Thread(target=lambda: sent.append(c.send(None)))
    t.start()
    t.join()
    assert sent == ["paused"], sent
    return c

if case in ("send", "elide"):
    if case == "send":
        c = glue_probe.returns(1)
        for _ in range(depth):
            c = glue_probe.awaits(c)
    else:
        async def job():
            return 1
        f = job
        for _ in range(depth):
            f = elide(f)
        c = f()
    try:
        c.send(None)
        print("yielded")
    except StopIteration:
        print("finished")
    except RecursionError:
        print("RecursionError")
elif case == "release":
    c = suspended_chain(Pause())
elif case == "close":
    c = suspended_chain(Pause())
    c.close()
    print("closed", c.cr_frame is None)
elif case == "throw":
    c = suspended_chain(Pause())
    sys.setrecursionlimit(1000)
    try:
        c.throw(KeyError("k"))
    except KeyError:
        print("KeyError")
    except RecursionError:
        print("RecursionError")
elif case == "collect":
    leaf = Pause()
    c = suspended_chain(leaf)
    leaf.owner = c
    gc.disable()
    del leaf
del c
if case == "collect":
    print("collected", gc.collect() > depth)
print("released")
"""


@pytest.mark.parametrize("case, depth, outcome", [
    ("send", 30000, ["RecursionError"]),
    ("send", 100000, ["RecursionError"]),
    ("elide", 30000, ["RecursionError"]),
    ("release", 100000, []),
    ("close", 100000, ["closed True"]),
    ("throw", 30000, ["RecursionError"]),
    ("collect", 100000, ["collected True"]),
])
def test_deep_await_chain_never_overflows(case, depth, outcome):
    source = DEEP_CHAIN.format(probe=os.path.join(HERE, "glue_probe"), root=os.path.dirname(HERE),
                               case=case, depth=depth)
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          timeout=120 * SLOWER)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split("\n")[:-1] == outcome + ["released"], proc.stderr[-3000:]
    assert "Exception ignored" not in proc.stderr and "Fatal" not in proc.stderr, proc.stderr[-3000:]
