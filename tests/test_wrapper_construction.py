"""Socket facade: module import, construction, loop thread, exit hook (in process), _stop and release."""
import asyncio
import collections.abc
import configparser
import functools
import gc
import os
import threading
import time

import pytest

from dorvane.backend.socket import wrapper
from dorvane.backend.socket.wrapper import Wrapper
from support.facade_fixtures import config_for, loop_threads, stop_facades, wait_until  # noqa: F401

UAT = ("127.0.0.10", "18001")
PRODUCTION = ("127.0.0.20", "18002")


@pytest.fixture
def two_sections(monkeypatch):
    monkeypatch.setattr(wrapper, "config", config_for(uat=UAT, production=PRODUCTION))


def hook_parts():
    hook = threading._shutdown
    assert isinstance(hook, functools.partial) and hook.func is wrapper._exitCheckfunc
    thread, loop = hook.args
    return thread, loop


def test_module_names_and_config():
    assert wrapper.config_path == wrapper.Path(wrapper.__file__).parent / "config.ini"
    assert isinstance(wrapper.config, configparser.ConfigParser)
    assert set(wrapper.config.sections()) == {"UAT", "PRODUCTION"}
    for section in ("UAT", "PRODUCTION"):
        assert wrapper.config.get(section, "host") == "127.0.0.1"
        assert wrapper.config.get(section, "port").isdigit()
    assert wrapper._exitCheckfunc.__doc__ == "\n    Help event_loop on another thread to catch KeyboardInterrupt.\n    "
    assert wrapper.ServerError.__module__ == "dorvane.backend.error"
    assert wrapper.client.__name__ == "dorvane.backend.socket.client"


def test_class_and_decorators():
    assert Wrapper.OrderProps is None
    assert Wrapper._connection is True  # passed through `connection`
    assert Wrapper.login._decorator == "subscribe"
    assert Wrapper.login.__wrapped__.__qualname__ == "Wrapper.login"
    for name in ("loginAsync", "logoutAsync"):
        assert asyncio.iscoroutinefunction(getattr(Wrapper, name))


@pytest.mark.parametrize(
    "simulation, address",
    [(True, UAT), (1, UAT), ("no", UAT), ([0], UAT), (False, PRODUCTION), (0, PRODUCTION), ("", PRODUCTION),
     (None, PRODUCTION)],
)
def test_environment_by_truth(two_sections, simulation, address):
    w = Wrapper(simulation)
    assert (w._host, w._port) == address
    assert isinstance(w._port, str)


def test_construction_state(two_sections, monkeypatch):
    calls = []
    monkeypatch.setattr(wrapper.utils, "patchAsyncio", lambda *a, **k: calls.append((a, k)))
    products = object()
    w = Wrapper(True, proxies={"https": "x"}, products=products)
    assert calls == [((), {})]
    assert vars(w) == {
        "_loop": w._loop, "_host": UAT[0], "_port": UAT[1], "_client": None, "stock_account": None,
        "future_account": None, "accounts": None, "trades": {}, "order_id": 0, "_auto_update": True,
        "products": products,
    }
    assert list(vars(w)) == ["_loop", "_host", "_port", "_client", "stock_account", "future_account",
                             "accounts", "trades", "order_id", "_auto_update", "products"]
    # Private loop, running on a daemon thread of its own; the hook watches that thread and loop.
    thread, loop = hook_parts()
    assert loop is w._loop and thread is not threading.current_thread()
    assert thread.daemon and thread.is_alive() and thread._target is wrapper.start_loop
    assert wait_until(loop.is_running)
    assert asyncio.run_coroutine_threadsafe(asyncio.sleep(0, "ran"), loop).result(5) == "ran"
    # start_loop made it the loop thread's current loop, not the constructing thread's.
    assert asyncio.run_coroutine_threadsafe(_current_loop(), loop).result(5) is loop
    assert asyncio.get_event_loop_policy()._local._loop is not loop


async def _current_loop():
    return asyncio.get_event_loop()


def test_construction_steps_in_order(monkeypatch):
    """Truth test, patch hook, new loop, then the loop thread and the exit hook, and only then
    the configuration."""
    steps, made = [], []
    real_new_event_loop = asyncio.new_event_loop

    class Simulation:
        def __bool__(self):
            steps.append("truth")
            return True

    def new_event_loop():
        made.append(real_new_event_loop())
        steps.append("loop")
        return made[-1]

    class Config(configparser.ConfigParser):
        def get(self, section, option, **kwargs):
            if kwargs.get("raw"):  # the parser's own interpolation reads the raw value again
                return super().get(section, option, **kwargs)
            hook = threading._shutdown
            watched = isinstance(hook, functools.partial) and hook.args[1] is made[-1]
            steps.append(("config", section, option, watched and hook.args[0].is_alive()))
            return super().get(section, option, **kwargs)

    config = Config()
    config.read_dict({"UAT": {"host": UAT[0], "port": UAT[1]}})
    monkeypatch.setattr(wrapper, "config", config)
    monkeypatch.setattr(wrapper.utils, "patchAsyncio", lambda: steps.append(("patch", len(made))))
    monkeypatch.setattr(asyncio, "new_event_loop", new_event_loop)
    w = Wrapper(Simulation())
    assert steps == ["truth", ("patch", 0), "loop", ("config", "UAT", "host", True),
                     ("config", "UAT", "port", True)]
    assert w._loop is made[0]


def test_failed_truth_test_starts_nothing(two_sections, monkeypatch):
    class Broken:
        def __bool__(self):
            raise ValueError("no truth")

    patched = []
    monkeypatch.setattr(wrapper.utils, "patchAsyncio", lambda: patched.append(True))
    monkeypatch.setattr("sys.unraisablehook", lambda report: None)  # __del__ finds no _loop
    previous, count = threading._shutdown, len(loop_threads())
    with pytest.raises(ValueError, match="no truth"):
        Wrapper(Broken())
    assert patched == [] and threading._shutdown is previous and len(loop_threads()) == count


def test_arguments_by_keyword(two_sections):
    w = Wrapper(simulation=False, proxies=None, products=[1])
    assert (w._host, w.products) == (PRODUCTION[0], [1])


@pytest.mark.parametrize(
    "config, error",
    [
        (config_for(), configparser.NoSectionError),
        (config_for(production=PRODUCTION), configparser.NoSectionError),
        (configparser.ConfigParser(), configparser.NoSectionError),
    ],
)
def test_missing_section_stops_the_loop_and_restores_the_hook(monkeypatch, config, error):
    monkeypatch.setattr(wrapper, "config", config)
    previous = threading._shutdown
    running = {id(t) for t, _ in loop_threads()}
    with pytest.raises(error) as info:
        Wrapper(True)
    assert "UAT" in str(info.value)
    assert threading._shutdown is previous
    new = [t for t in threading.enumerate() if id(t) not in running and getattr(t, "_target", None) is wrapper.start_loop]
    assert all(wait_until(lambda: not t.is_alive()) for t in new)


def test_missing_key_fails_with_no_option(monkeypatch):
    config = configparser.ConfigParser()
    config["PRODUCTION"] = {"HOST": "127.0.0.1"}  # keys match without regard to case; port missing
    monkeypatch.setattr(wrapper, "config", config)
    previous = threading._shutdown
    with pytest.raises(configparser.NoOptionError):
        Wrapper(False)
    assert threading._shutdown is previous


def test_failing_patch_hook_starts_nothing(two_sections, monkeypatch):
    def broken():
        raise RuntimeError("patch failed")

    monkeypatch.setattr(wrapper.utils, "patchAsyncio", broken)
    monkeypatch.setattr("sys.unraisablehook", lambda report: None)  # __del__ finds no _loop
    previous = threading._shutdown
    count = len(loop_threads())
    with pytest.raises(RuntimeError, match="patch failed"):
        Wrapper(True)
    assert threading._shutdown is previous and len(loop_threads()) == count


def test_stop_and_release_end_the_loop_thread(two_sections):
    w = Wrapper(True)
    thread, loop = hook_parts()
    assert wait_until(loop.is_running)
    assert w._stop() is None
    assert wait_until(lambda: not thread.is_alive())
    assert w._stop() is None  # a second stop does nothing more
    assert not loop.is_closed()  # stopped, never closed

    Wrapper(True)  # released at once
    thread, loop = hook_parts()
    gc.collect()
    assert wait_until(lambda: not thread.is_alive())


def test_release_after_the_loop_was_closed_is_silent(two_sections, monkeypatch):
    raised = []
    monkeypatch.setattr("sys.unraisablehook", raised.append)
    w = Wrapper(True)
    thread, loop = hook_parts()
    w._stop()
    assert wait_until(lambda: not thread.is_alive())
    loop.close()
    del w
    gc.collect()
    assert raised == []


def test_two_objects_two_loops_hook_watches_the_last(two_sections):
    a = Wrapper(True)
    b = Wrapper(True)
    thread, loop = hook_parts()
    assert a._loop is not b._loop and loop is b._loop
    a._stop()
    b._stop()
    assert wait_until(lambda: not thread.is_alive())


@pytest.fixture
def loops():
    """Loops made by the test itself, closed afterwards."""
    made = []

    def make():
        made.append(asyncio.new_event_loop())
        return made[-1]
    yield make
    for loop in made:
        loop.close()


def test_exit_hook_returns_when_the_thread_ends_and_chains(monkeypatch, loops):
    chained = []
    monkeypatch.setattr(wrapper, "_interpreter_shutdown", lambda: chained.append(True))
    ended = threading.Thread(target=lambda: None)
    ended.start()
    ended.join()
    start = time.monotonic()
    assert wrapper._exitCheckfunc(ended, loops()) is None
    assert time.monotonic() - start < 0.5 and chained == [True]

    # A thread that ends while the hook waits: the hook returns within about a second.
    loop = loops()
    thread = threading.Thread(target=wrapper.start_loop, args=(loop,), daemon=True)
    thread.start()
    threading.Timer(0.2, wrapper.stop_loop, args=(loop,)).start()
    start = time.monotonic()
    wrapper._exitCheckfunc(thread=thread, loop=loop)
    assert 0.15 < time.monotonic() - start < 2.5 and chained == [True, True]


def test_exit_hook_interrupt_stops_the_loop(monkeypatch, loops):
    chained = []
    monkeypatch.setattr(wrapper, "_interpreter_shutdown", lambda: chained.append(True))
    loop = loops()
    thread = threading.Thread(target=wrapper.start_loop, args=(loop,), daemon=True)
    thread.start()

    class Interrupted:
        def is_alive(self):
            raise KeyboardInterrupt

    assert wrapper._exitCheckfunc(Interrupted(), loop) is None
    thread.join(5)
    assert not thread.is_alive() and chained == [True]


def test_exit_hook_passes_other_errors(monkeypatch, loops):
    chained = []
    monkeypatch.setattr(wrapper, "_interpreter_shutdown", lambda: chained.append(True))

    class Broken:
        def is_alive(self):
            raise ValueError("broken thread")

    with pytest.raises(ValueError, match="broken thread"):
        wrapper._exitCheckfunc(Broken(), loops())
    assert chained == [True]  # the interpreter's own wait still ran


def test_interpreter_hook_is_the_one_found_at_import():
    import subprocess
    import sys
    program = (
        "import threading\n"
        "original = threading._shutdown\n"
        "from dorvane.backend.socket import wrapper\n"
        "print(wrapper._interpreter_shutdown is original)\n"
    )
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", program], cwd=root, capture_output=True, text=True, timeout=30)
    assert out.stdout.strip() == "True", out.stderr


def test_coroutine_objects(two_sections):
    w = Wrapper(True)
    coro = w.loginAsync("A1", "pw")
    assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
    coro.close()  # never started: nothing runs
    assert w._client is None
    coro = w.logoutAsync(loop=None)
    assert coro.__await__() is coro
    coro.close()


def test_release_after_failed_early_construction_is_reported_only(monkeypatch):
    def broken():
        raise RuntimeError("patch failed")

    monkeypatch.setattr(wrapper.utils, "patchAsyncio", broken)
    gc.collect()  # earlier tests' garbage reports to the hook of its own time, not to this one
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    with pytest.raises(RuntimeError):
        Wrapper(True)
    gc.collect()
    assert [type(r.exc_value) for r in reports] == [AttributeError]
