"""Run in a fresh interpreter: forks children of a process whose socket facade is logged in to the
loopback trading server while another thread logs a second facade in and out without pause, so
that each fork finds the loop threads somewhere in their work (waiting in the selector, framing a
reply, sending a keep-alive, connecting).

Each child, by its kind:
  own        makes its own Wrapper, logs in and out through it, stops it and exits normally;
  exit       exits normally at once, holding only the objects it inherited;
  inherited  calls login on the inherited Wrapper, whose loop thread does not exist in the child:
             the wait must end with the time-out, and the child exits normally.
A child that has not ended within the deadline is killed and counted as hung. The parent then logs
its own facade out, which shows that no child took or broke anything of the parent's session.

Usage: fork_probe.py CHILDREN. Prints one JSON line: {"hung": {...}, "failed": {...}, "parent": ...}.
"""
import configparser
import json
import os
import random
import signal
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from dorvane.backend.socket import wrapper  # noqa: E402
from servers.session_server import SessionService  # noqa: E402
from servers.trading_server import ThreadedTradingServer  # noqa: E402
from tests.support.sanitized import scaled  # noqa: E402

PERSON, PASSWORD = "A123456789", "pw"
# Waits of a child and of the probe; longer in the sanitized build, whose forks and children are slower.
TIMEOUT = scaled(10)
DEADLINE = scaled(30.0)


def child(kind, parent_facade):
    code = 0
    try:
        if kind == "own":
            own = wrapper.Wrapper(True)
            try:
                own.login(PERSON, PASSWORD, timeout=TIMEOUT)
                own.logout(timeout=TIMEOUT)
            finally:
                # A failed login leaves the loop running, and the exit hook would wait for it:
                # stopping it here counts the child as failed, not as hung.
                own._stop()
        elif kind == "inherited":
            try:
                parent_facade.login(PERSON, PASSWORD, timeout=0.3)
                code = 3
            except TimeoutError:
                pass
    except BaseException:  # noqa: B902 - reported through the exit status
        traceback.print_exc()
        code = 2
    sys.exit(code)  # the interpreter's own shutdown, exit hook included


def churn(facade, stop):
    while not stop.is_set():
        facade.login(PERSON, PASSWORD, timeout=TIMEOUT)
        facade.logout(timeout=TIMEOUT)


def main(count):
    server = ThreadedTradingServer().start()
    server.session = server.run(SessionService, server.server)
    config = configparser.ConfigParser()
    config["UAT"] = {"host": server.host, "port": str(server.port)}
    wrapper.config = config

    parent_facade = wrapper.Wrapper(True)
    parent_facade.login(PERSON, PASSWORD)
    busy_facade = wrapper.Wrapper(True)
    stop = threading.Event()
    thread = threading.Thread(target=churn, args=(busy_facade, stop), daemon=True)
    thread.start()

    kinds = ["own", "exit", "inherited"]
    rng = random.Random(22)
    children = {}
    for i in range(count):
        time.sleep(rng.uniform(0, 0.004))
        kind = kinds[i % len(kinds)]
        pid = os.fork()
        if pid == 0:
            child(kind, parent_facade)
        children[pid] = kind

    hung, failed = {k: 0 for k in kinds}, {k: 0 for k in kinds}
    end = time.monotonic() + DEADLINE
    while children and time.monotonic() < end:
        for pid in list(children):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                if not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0):
                    failed[children[pid]] += 1
                del children[pid]
        time.sleep(0.01)
    for pid, kind in children.items():
        hung[kind] += 1
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)

    stop.set()
    thread.join(scaled(15))
    parent_facade.logout(timeout=TIMEOUT)  # the parent's own session is intact
    parent_facade._stop()
    busy_facade._stop()
    print(json.dumps({"hung": hung, "failed": failed, "parent": "ok", "churn_alive": thread.is_alive()}))
    server.stop()


if __name__ == "__main__":
    main(int(sys.argv[1]))
