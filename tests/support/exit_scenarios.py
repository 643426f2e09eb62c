"""Programs that end while other threads are inside the extension modules, run many times each.

Each scenario is a small program run in a fresh interpreter process; a run passes when the process
exits with status 0 within its time limit and its standard error carries no report of a fault (a
fatal error, std::terminate, an exception the interpreter could only ignore, a sanitizer report). The runs of one call go side by side (concurrent
processes), so that many runs take little wall time.

    from support.exit_scenarios import SCENARIOS, run_many
    tally = run_many("quote-callback", runs=30)     # Tally: .ok, .crashes, .hangs, .samples

The scenarios:

quote-callback   a `Quote` callback that sleeps and prints while the program's main code ends with
                 ticks flowing (the messaging binding's delivery thread is inside the callback);
wrapper-sigint   a logged-in `Wrapper` with a `Quote` and ticks flowing; SIGINT during the exit
                 hook's wait;
slow-connect     SIGINT while the login's quote connect is slow; the program catches it and ends,
                 and a second SIGINT ends the exit hook's wait while the connect still runs;
connection       a `Connection` whose loop runs on a daemon thread of the program (nothing waits
                 for it), with requests pending and the server streaming replies when main ends;
callback-return  quote and event callbacks that return objects whose release gives up the
                 interpreter lock (a `__del__` that sleeps, an open file) while the program ends
                 with ticks and session events flowing: the wrappers release them on the delivery
                 thread as the interpreter finalises.
"""
import collections
import concurrent.futures
import os
import random
import re
import signal
import subprocess
import threading
import time

from support.sanitized import SLOWDOWN, scaled

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
ROOT = os.path.dirname(TESTS)
INTERPRETER = "/usr/bin/python3"

PRELUDE = """\
import os, random, signal, sys, threading, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # as in a terminal, whatever the parent ignores
sys.path[:0] = [{root!r}, {tests!r}]
SLOW = {slowdown}  # the factor of the runner's limits: the program's own waits scale with them
"""

# A publisher on a daemon thread of the program: ticks of one stock, without pause.
TICKS = """
from quillmesh import solclient
from dorvane.backend.solace.quote import Quote
from dorvane.contracts import Stock

TICK = {"Code": "2330", "Date": "2024/01/02", "Time": "09:00:01.000000", "Close": [601.0],
        "Volume": [3], "TickType": [1]}
first_tick = threading.Event()
count = 0

def on_quote(topic, msg):
    # Gives up the interpreter lock inside the callback, as real callbacks do.
    global count
    count += 1
    first_tick.set()
    time.sleep(0.0002)
    if count % 25 == 0:
        print("tick", count, flush=True)

def publish_forever():
    while True:
        for _ in range(10):
            solclient.publish("MKT/local/TSE/2330", TICK)
        solclient.broker.wait_idle(0.05)  # keeps the queue short

def start_ticks(quote):
    quote.subscribe(Stock(code="2330", exchange="TSE", name="TSMC"), quote_type="tick")
    threading.Thread(target=publish_forever, daemon=True).start()
    if not first_tick.wait(10 * SLOW):
        sys.exit("no tick")
"""

# A logged-in facade against the loopback trading server, which runs on a daemon thread here.
FACADE = """
import configparser
from servers.session_server import SessionService
from servers.trading_server import ThreadedTradingServer
from dorvane.backend.socket import wrapper

server = ThreadedTradingServer().start()
server.run(SessionService, server.server)
wrapper.config = configparser.ConfigParser()
wrapper.config["UAT"] = {"host": server.host, "port": str(server.port)}
api = wrapper.Wrapper(True)
quote = Quote()
quote.set_callback(on_quote)
"""

QUOTE_CALLBACK = TICKS + """
solclient.add_account("vpn", "user", "password")
quote = Quote()
quote.set_callback(on_quote)
if quote.connect("127.0.0.1:55555", "vpn", "user", "password") != 0:
    sys.exit("quote login failed")
start_ticks(quote)
time.sleep(random.random() * 0.2)
print("main end", flush=True)
"""

WRAPPER_SIGINT = TICKS + FACADE + """
api.login("A123456789", "secret", quote=quote, timeout=10 * SLOW)
start_ticks(quote)
print("main end", flush=True)
"""

SLOW_CONNECT = TICKS + FACADE + """
quick_connect = solclient.connect

def slow_connect(*args):
    # A quote service that answers late: the loop thread waits here, switching the lock often.
    print("quote connect", flush=True)
    end = time.monotonic() + 4.0
    while time.monotonic() < end:
        time.sleep(0.002)
    return quick_connect(*args)

solclient.connect = slow_connect
try:
    api.login("A123456789", "secret", quote=quote, timeout=10 * SLOW)
    print("logged in", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
print("main end", flush=True)
"""

CONNECTION = """
import asyncio
from servers.trading_server import Reply, ThreadedTradingServer
from dorvane.backend.socket.connect import Connection

PERSON = "A123456789"
server = ThreadedTradingServer().start()
# Each request is answered after a short delay, so requests are always pending.
server.server.handle(50, lambda request: Reply(request.body * 4, delay=random.random() * 0.005))
loop = asyncio.new_event_loop()
threading.Thread(target=loop.run_forever, daemon=True).start()
conn = Connection(server.host, server.port, PERSON, loop=loop)
replies = 0
flowing = threading.Event()

async def drive():
    global replies
    await conn.connect()
    payload = bytes(range(256)) * 4
    inflight = set()
    while True:
        while len(inflight) < 64:
            inflight.add(conn.send(50, PERSON, payload))
        done, inflight = await asyncio.wait(inflight, return_when=asyncio.FIRST_COMPLETED)
        replies += len(done)
        if replies > 200:
            flowing.set()

asyncio.run_coroutine_threadsafe(drive(), loop)
if not flowing.wait(10 * SLOW):
    sys.exit("no replies")
time.sleep(random.random() * 0.2)
print("main end", flush=True)
"""

CALLBACK_RETURN = TICKS + """
solclient.add_account("vpn", "user", "password")


class Slow:
    # Its release gives up the interpreter lock, as a finaliser that closes or logs does.
    def __del__(self):
        time.sleep(0.0005)


def returned(n):
    return Slow() if n % 2 else open(os.devnull, "rb")


def on_quote(topic, msg):
    global count
    count += 1
    first_tick.set()
    return returned(count)


events = 0


def on_event(resp_code, event_code, event):
    global events
    events += 1
    return returned(events)


def reconnect_forever():
    # Every login queues a session event for the delivery thread.
    while True:
        quote.connect("127.0.0.1:55555", "vpn", "user", "password")
        time.sleep(0.001)


quote = Quote()
quote.set_callback(on_quote)
quote.set_event_callback(on_event)
if quote.connect("127.0.0.1:55555", "vpn", "user", "password") != 0:
    sys.exit("quote login failed")
start_ticks(quote)
threading.Thread(target=reconnect_forever, daemon=True).start()
time.sleep(random.random() * 0.2)
print("main end", flush=True)
"""

# Lines of standard error that report a fault even when the process exits with status 0.
FAULT_REPORTS = re.compile(r"Fatal Python error|terminate called|Exception ignored|"
                           r"ERROR: (Address|Leak|Thread)Sanitizer|runtime error:|SUMMARY: \w+Sanitizer")


# How long an aborted run is given to write where its threads stood before it is killed.
ABORT_GRACE = scaled(5.0)


# The mark of an interrupt for the exit hook's wait (see Scenario).
AT_EXIT = "at exit"


def wait_for_exit_sleep(proc, deadline):
    """Waits until the main thread of `proc`, whose main code has ended, sleeps (the exit hook's
    watch: nothing else sleeps after the last line); False when the process ended or the deadline
    passed first."""
    wchan = "/proc/{}/wchan".format(proc.pid)
    while proc.poll() is None and time.monotonic() < deadline:
        try:
            with open(wchan) as f:
                if f.read().strip() == "hrtimer_nanosleep":
                    return True
        except OSError:
            return False
        time.sleep(0.005)
    return False


class Scenario:
    """A program and the interrupts the runner sends it: (line to wait for, delay range) pairs,
    or (line, delay range, AT_EXIT) for an interrupt meant for the exit hook's wait: it is sent only
    once the main thread sleeps there, since a program slow to reach its end would otherwise take it
    in its last line, where it is the main code's KeyboardInterrupt (and the hook waits for a second
    one, as it should).
    `limit` is the normal build's time for each step of a run: reaching each line, then ending
    (after the last interrupt, or from the start when there is none); the sanitized build's is
    scaled from it. A start slowed by load so never eats into the time the program has to end."""

    def __init__(self, name, body, interrupts=(), limit=15.0):
        self.name, self.body, self.interrupts, self.limit = name, body, interrupts, scaled(limit)

    def worst_case(self):
        """The longest one run may take before it is judged (seconds)."""
        return self.limit * (len(self.interrupts) + 1)

    def source(self):
        return PRELUDE.format(root=ROOT, tests=TESTS, slowdown=SLOWDOWN) + self.body


SCENARIOS = collections.OrderedDict((s.name, s) for s in [
    Scenario("quote-callback", QUOTE_CALLBACK),
    Scenario("wrapper-sigint", WRAPPER_SIGINT, interrupts=[("main end", (0.05, 1.2), AT_EXIT)]),
    Scenario("slow-connect", SLOW_CONNECT,
             interrupts=[("quote connect", (0.0, 0.5)), ("main end", (0.0, 0.5), AT_EXIT)]),
    Scenario("connection", CONNECTION),
    Scenario("callback-return", CALLBACK_RETURN),
])


class Outcome:
    def __init__(self, status, code, stdout, stderr, timeline=""):
        self.status, self.code = status, code  # status: ok, crash, hang or fault (on stderr)
        self.stdout, self.stderr = stdout, stderr
        self.timeline = timeline  # what the runner saw and did, and the threads' states at a hang

    def __repr__(self):
        return "<Outcome {} {}>".format(self.status, self.code)


def thread_states(pid):
    """Each thread's name, scheduler state and kernel wait point, read from /proc: they tell a
    thread that sleeps on its own (hrtimer_nanosleep, a select) from one stuck on a lock (futex)."""
    try:
        tids = sorted(os.listdir("/proc/{}/task".format(pid)), key=int)
    except OSError as e:
        return "  threads: {}".format(e)
    lines = []
    for tid in tids:
        base = "/proc/{}/task/{}/".format(pid, tid)
        try:
            with open(base + "comm") as f:
                comm = f.read().strip()
            with open(base + "stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            with open(base + "wchan") as f:
                wchan = f.read().strip()
        except OSError as e:
            comm, state, wchan = "?", "?", str(e)
        lines.append("  thread {}{} {} {} {}".format(tid, " (main)" if int(tid) == pid else "", comm, state, wchan))
    return "\n".join(lines)


def run_once(scenario):
    """Runs the scenario's program once; returns its Outcome."""
    if isinstance(scenario, str):
        scenario = SCENARIOS[scenario]
    proc = subprocess.Popen([INTERPRETER, "-X", "faulthandler", "-c", scenario.source()], cwd=ROOT,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, errors="replace")
    started = time.monotonic()
    timeline = []

    def note(what):
        ended = " (it had ended)" if proc.poll() is not None else ""
        timeline.append("  {:7.2f} s  {}{}".format(time.monotonic() - started, what, ended))

    lines, err = [], []
    seen = threading.Condition()

    def read_out():
        for line in proc.stdout:
            with seen:
                lines.append(line.rstrip("\n"))
                seen.notify_all()
        with seen:
            seen.notify_all()

    readers = [threading.Thread(target=read_out, daemon=True),
               threading.Thread(target=lambda: err.extend(proc.stderr), daemon=True)]
    for reader in readers:
        reader.start()
    hung = False
    for line, (least, most), *at_exit in scenario.interrupts:
        deadline = time.monotonic() + scenario.limit
        with seen:
            seen.wait_for(lambda: line in lines or proc.poll() is not None,
                          max(0.0, deadline - time.monotonic()))
        if line not in lines:
            note("did not print {!r}".format(line))
            hung = proc.poll() is None
            break
        note("printed {!r}".format(line))
        if at_exit:
            if not wait_for_exit_sleep(proc, deadline):
                note("its main thread did not sleep in the exit hook")
                hung = proc.poll() is None
                break
            note("its main thread sleeps in the exit hook")
        time.sleep(random.uniform(least, most))
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            note("SIGINT sent")
    if not hung:
        try:
            proc.wait(scenario.limit)
        except subprocess.TimeoutExpired:
            note("did not end within {:.0f} s".format(scenario.limit))
            hung = True
    if hung:
        timeline.append(thread_states(proc.pid))
        proc.send_signal(signal.SIGABRT)  # faulthandler prints where the threads stood
        try:
            proc.wait(ABORT_GRACE)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    for reader in readers:
        reader.join(5)
    stderr = "".join(err)
    if hung:
        status = "hang"
    elif proc.returncode != 0:
        status = "crash"
    else:
        status = "fault" if FAULT_REPORTS.search(stderr) else "ok"
    return Outcome(status, proc.returncode, lines, stderr, "\n".join(timeline))


class Tally:
    def __init__(self, name):
        self.name = name
        self.counts = collections.Counter()
        self.codes = collections.Counter()
        self.samples = []  # of some failed runs: what the runner saw and did, then the run's stderr

    ok = property(lambda self: self.counts["ok"])
    crashes = property(lambda self: self.counts["crash"])
    hangs = property(lambda self: self.counts["hang"])
    faults = property(lambda self: self.counts["fault"])  # exit status 0, a fault on stderr

    def add(self, outcome):
        self.counts[outcome.status] += 1
        if outcome.status != "ok":
            self.codes[outcome.code] += 1
            if len(self.samples) < 3:
                self.samples.append("runner:\n{}\nlast lines of stdout: {}\nstderr:\n{}".format(
                    outcome.timeline, outcome.stdout[-3:], outcome.stderr))

    def __str__(self):
        codes = ", ".join("{}: {}".format(code, n) for code, n in sorted(self.codes.items()))
        return "{:<15} runs {:>4}  ok {:>4}  crashes {:>4}  hangs {:>4}  faults {:>4}{}".format(
            self.name, sum(self.counts.values()), self.ok, self.crashes, self.hangs, self.faults,
            "  (exit codes {})".format(codes) if codes else "")


def run_many(names, runs, jobs=None):
    """Runs every named scenario `runs` times, all runs side by side on `jobs` workers; returns
    {name: Tally}."""
    if isinstance(names, str):
        names = [names]
    jobs = jobs or max(4, 2 * (os.cpu_count() or 4))
    tallies = collections.OrderedDict((name, Tally(name)) for name in names)
    order = [name for _ in range(runs) for name in names]
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for name, outcome in zip(order, pool.map(run_once, order)):
            tallies[name].add(outcome)
    return tallies
