"""The glue's method call (pyglue::call_method) agrees with getattr-then-call in everything.

With object arguments the glue calls a method the way the interpreter does (no bound method, no
argument tuple). Each case below runs both ways on a fresh object: the result, the exception type
and text, and the calls the object saw must be the same.
"""
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "glue_probe"))

import glue_probe  # noqa: E402


class Plain:
    def __init__(self):
        self.seen = []

    def method(self, *args):
        self.seen.append(("method", args))
        return ("method", args)

    def one(self, x):
        return x

    def fails(self, *args):
        raise ValueError("fails with %r" % (args,))

    @staticmethod
    def static(*args):
        return ("static", args)

    @classmethod
    def klass(cls, *args):
        return (cls.__name__, args)

    @property
    def prop(self):
        self.seen.append("prop")
        return lambda *args: ("prop", args)

    not_callable = None


class Shadowed(Plain):
    def __init__(self):
        super().__init__()
        self.method = lambda *args: ("instance", args)


class Dynamic(Plain):
    def __getattr__(self, name):
        self.seen.append(("getattr", name))
        if name.startswith("dyn"):
            return lambda *args: (name, args)
        raise AttributeError(name)


class Intercepting(Plain):
    def __getattribute__(self, name):
        if name == "method":
            return lambda *args: ("intercepted", args)
        return object.__getattribute__(self, name)


class Slotted:
    __slots__ = ("value",)

    def method(self, *args):
        return ("slotted", args)


CASES = [
    (Plain, "method", ()),
    (Plain, "method", (1,)),
    (Plain, "method", (1, "two")),
    (Plain, "one", ()),             # too few: the function's own TypeError
    (Plain, "one", (1, 2)),         # too many
    (Plain, "fails", (3,)),
    (Plain, "static", (1, 2)),
    (Plain, "klass", (1,)),
    (Plain, "prop", (1,)),
    (Plain, "not_callable", ()),
    (Plain, "missing", (1,)),
    (Shadowed, "method", (1,)),
    (Dynamic, "dynamic", (1, 2)),
    (Dynamic, "absent", ()),
    (Dynamic, "method", ()),
    (Intercepting, "method", (1,)),
    (Intercepting, "one", (5,)),
    (Slotted, "method", (1,)),
    (list, "append", (1,)),
    (list, "append", ()),
    (dict, "get", ("k", 0)),
    (str, "join", (["a", "b"],)),
    (lambda: os, "fspath", ("p",)),  # a module's function
]


def outcome(call, make, name, args):
    obj = make()
    try:
        result = ("result", call(obj, name, *args))
    except BaseException as exc:  # noqa: B902 - every failure is compared
        result = ("raised", type(exc), str(exc))
    return result, list(getattr(obj, "seen", [])), obj if isinstance(obj, (list, dict)) else None


@pytest.mark.parametrize("make, name, args", CASES,
                         ids=["%s.%s/%d" % (getattr(m, "__name__", "module"), n, len(a)) for m, n, a in CASES])
def test_method_call_agrees_with_getattr_then_call(make, name, args):
    assert outcome(glue_probe.call_method, make, name, args) == outcome(glue_probe.call_attribute, make, name, args)


def test_release_reads_the_finalisation_word_inline():
    assert glue_probe.release_inline() is True
