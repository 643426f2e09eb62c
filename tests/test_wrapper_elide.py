"""The facade module's single-runner decorator `elide`, on plain coroutine functions and methods."""
import asyncio
import threading

import pytest

from dorvane.backend.socket.wrapper import elide


def finishes_at_once(coro):
    """Drives a coroutine by one step and returns its result; fails when it suspends."""
    with pytest.raises(StopIteration) as done:
        coro.send(None)
    return done.value.value


class Probe:
    """An elided coroutine function that notes each job's start and end; a job given a gate
    suspends on it, and one given `fail` raises it after the gate."""

    def __init__(self):
        self.calls = []

        @elide
        async def probe(name, gate=None, fail=None, result="dropped"):
            """Probe documentation."""
            self.calls.append(("start", name))
            if gate is not None:
                await gate.wait()
            if fail is not None:
                raise fail
            self.calls.append(("end", name))
            return result

        self.fn = probe

    def started(self):
        return [name for kind, name in self.calls if kind == "start"]


def run(coro_fn):
    return asyncio.run(coro_fn())


def test_decoration_keeps_the_function_and_runs_nothing_until_awaited():
    probe = Probe()
    fn = probe.fn
    assert (fn.__name__, fn.__doc__, fn.__module__) == ("probe", "Probe documentation.", __name__)
    assert fn.__qualname__.endswith("<locals>.probe")
    assert asyncio.iscoroutinefunction(fn) and asyncio.iscoroutinefunction(fn.__wrapped__)
    coro = fn("a")
    assert asyncio.iscoroutine(coro) and probe.calls == []
    coro.close()
    assert probe.calls == []
    doc = elide.__doc__
    assert "function decorated with this will only execute once at a time." in doc
    assert "Caution: If return value of function is required, don't use this." in doc


def test_second_call_waits_third_is_dropped():
    probe = Probe()

    async def main():
        gate = asyncio.Event()
        runner = asyncio.ensure_future(probe.fn("first", gate=gate))
        await asyncio.sleep(0)
        assert probe.calls == [("start", "first")]
        # While the runner's job is suspended, later calls end with None at once.
        assert finishes_at_once(probe.fn("second", result=2)) is None
        assert finishes_at_once(probe.fn("third")) is None
        assert probe.started() == ["first"]
        gate.set()
        assert await runner is None
        # The runner ran the waiting job inside its own coroutine; the dropped one never ran.
        assert probe.calls == [("start", "first"), ("end", "first"), ("start", "second"), ("end", "second")]
        # The drain left the slot empty and the flag clear: the next call's first job is its own.
        assert finishes_at_once(probe.fn("fourth")) is None
        assert probe.started() == ["first", "second", "fourth"]

    run(main)


@pytest.mark.parametrize("result", [None, 0, "value", ("a", 1)])
def test_job_without_suspension_runs_in_its_own_call_and_its_value_is_dropped(result):
    probe = Probe()
    for name in ("a", "b"):
        assert finishes_at_once(probe.fn(name, result=result)) is None
    assert probe.calls == [("start", "a"), ("end", "a"), ("start", "b"), ("end", "b")]


def test_arguments_reach_the_job_by_position_and_keyword():
    seen = []

    @elide
    async def job(*args, **kwargs):
        seen.append((args, kwargs))

    finishes_at_once(job(1, 2, key="k", **{"other": None}))
    assert seen == [((1, 2), {"key": "k", "other": None})]


def test_method_calls_of_all_instances_share_one_runner():
    ran = []

    class Owner:
        def __init__(self, name):
            self.name = name

        @elide
        async def work(self, gate=None):
            ran.append(self.name)
            if gate is not None:
                await gate.wait()

    a, b = Owner("a"), Owner("b")

    async def main():
        gate = asyncio.Event()
        runner = asyncio.ensure_future(a.work(gate))
        await asyncio.sleep(0)
        assert finishes_at_once(b.work()) is None  # queued behind a's job
        assert ran == ["a"]
        gate.set()
        await runner
        assert ran == ["a", "b"]  # run by a's runner, with b as its first argument

    run(main)


class Boom(Exception):
    pass


async def end_by_raising(probe, gate, runner):
    gate.set()
    with pytest.raises(Boom):
        await runner


async def end_by_cancelling(probe, gate, runner):
    runner.cancel()
    with pytest.raises(asyncio.CancelledError):
        await runner


@pytest.mark.parametrize("end", [end_by_raising, end_by_cancelling])
def test_a_drain_that_fails_frees_the_runner(end):
    """The failure reaches the runner's awaiter; the job that waited stays for the next runner,
    and later calls are served again instead of being swallowed for good."""
    probe = Probe()

    async def main():
        gate = asyncio.Event()
        runner = asyncio.ensure_future(probe.fn("first", gate=gate, fail=Boom("x")))
        await asyncio.sleep(0)
        finishes_at_once(probe.fn("waiting"))
        await end(probe, gate, runner)
        assert probe.started() == ["first"]
        # The next call finds the slot still taken (its own job is dropped) and runs the waiting one.
        assert finishes_at_once(probe.fn("dropped")) is None
        assert probe.started() == ["first", "waiting"]
        assert finishes_at_once(probe.fn("own")) is None
        assert probe.started() == ["first", "waiting", "own"]

    run(main)


def test_a_runner_closed_or_released_while_suspended_frees_the_runner():
    probe = Probe()

    async def main():
        for how in ("close", "release"):
            gate = asyncio.Event()
            coro = probe.fn(how, gate=gate)
            coro.send(None)  # suspended inside its job
            if how == "close":
                coro.close()
            del coro
            assert finishes_at_once(probe.fn(how + " after")) is None
        assert probe.started() == ["close", "close after", "release", "release after"]

    run(main)


@pytest.mark.parametrize(
    "fn, args, error, text",
    [
        (5, (), TypeError, "the first argument must be callable"),
        (lambda: 5, (), TypeError, "can't be used in 'await' expression"),
        (lambda: 1 / 0, (), ZeroDivisionError, "division by zero"),
        (None, ("extra",), TypeError, "positional argument"),
    ],
)
def test_errors_of_making_or_starting_a_job_reach_the_caller_every_time(fn, args, error, text):
    if fn is None:
        async def fn():
            pass
    decorated = elide(fn)
    for _ in range(2):  # a failed call leaves no runner behind: the second fails the same way
        coro = decorated(*args)
        with pytest.raises(error, match=text):
            coro.send(None)


def test_calls_from_two_loop_threads_share_the_state():
    """A call made on another loop while the runner's job is suspended is queued and run by the
    runner on the runner's thread."""
    threads = []

    @elide
    async def job(gate=None):
        threads.append(threading.current_thread())
        if gate is not None:
            await gate.wait()

    loop_a, loop_b = asyncio.new_event_loop(), asyncio.new_event_loop()
    runner_thread = threading.Thread(target=loop_a.run_forever, daemon=True)
    other_thread = threading.Thread(target=loop_b.run_forever, daemon=True)
    runner_thread.start()
    other_thread.start()
    try:
        gate = asyncio.Event()
        started = threading.Event()

        async def first():
            task = asyncio.ensure_future(job(gate))
            await asyncio.sleep(0)
            started.set()
            return task

        task = asyncio.run_coroutine_threadsafe(first(), loop_a).result(5)
        assert started.wait(5)
        assert asyncio.run_coroutine_threadsafe(job(), loop_b).result(5) is None
        assert threads == [runner_thread]

        async def finish():
            gate.set()
            return await task

        assert asyncio.run_coroutine_threadsafe(finish(), loop_a).result(5) is None
        assert threads == [runner_thread, runner_thread]
    finally:
        for loop, thread in ((loop_a, runner_thread), (loop_b, other_thread)):
            loop.call_soon_threadsafe(loop.stop)
            thread.join(5)
            loop.close()
