"""Session-level benchmark: the C++ session client `Client` against the plain-Python peer client
(bench/peer_client.py: `PeerClient` on the struct-codec peer connection), on one client loop,
against the loopback trading server with its session service running in a process of its own (so
the server is not the client's bottleneck).

Figures, each over interleaved rounds (C++, peer, C++, peer, ...):
  - login round trip (`await (await client.login(...))`) on a connected client, p50 and p99, with
    1 and with 8 logins in flight;
  - the login + logout cycle (connect, login, await the reply, logout, await the reply; the logout
    reply closes the connection);
and the client process's CPU time per login or cycle, min and median over the rounds, with the
machine load; for the cycle also the event-loop iterations it takes (the loop's own iterations,
counted by the bench).

    /usr/bin/python3 bench/session.py [--logins 2000] [--cycles 300] [--rounds 5]
"""
import argparse
import asyncio
import gc
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [ROOT, HERE]

PERSON = "A123456789"


def serve():
    from servers.session_server import SessionService
    from servers.trading_server import TradingServer

    async def main():
        server = TradingServer(record=False)
        await server.start()
        SessionService(server)
        print("PORT", server.port, flush=True)
        await asyncio.Event().wait()

    asyncio.run(main())


def start_server():
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve"], stdout=subprocess.PIPE,
                            text=True)
    line = proc.stdout.readline().split()
    if not line or line[0] != "PORT":
        proc.kill()
        raise SystemExit("the session server did not start")
    return proc, int(line[1])


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * q))]


async def logins(client, count, inflight):
    """Latencies of `count` logins with `inflight` in flight; the client's CPU seconds."""
    latencies = []
    remaining = [count]
    clock = time.perf_counter

    async def worker():
        while remaining[0] > 0:
            remaining[0] -= 1
            t0 = clock()
            reply = await (await client.login(PERSON, "pw"))
            latencies.append(clock() - t0)
            if reply["person_id"] != PERSON:
                raise AssertionError("wrong login reply")

    gc.collect()
    cpu0 = time.process_time()
    await asyncio.gather(*(worker() for _ in range(inflight)))
    return latencies, time.process_time() - cpu0


class IterationCounter:
    """Counts the iterations of a loop: its `_run_once`, wrapped on the instance."""

    def __init__(self, loop):
        self.count = 0
        step = loop._run_once

        def counted():
            self.count += 1
            step()

        loop._run_once = counted


async def cycles(client, count, counter, iterations):
    """Latencies of `count` connect + login + logout cycles; the client's CPU seconds. The loop
    iterations of each cycle (from the connect to the logout's reply) go into `iterations`."""
    latencies = []
    clock = time.perf_counter
    gc.collect()
    cpu0 = time.process_time()
    for _ in range(count):
        t0 = clock()
        n0 = counter.count
        await client.connect()
        await (await client.login(PERSON, "pw"))
        await (await client.logout())
        latencies.append(clock() - t0)
        iterations.append(counter.count - n0)
        while client.conn._socket is not None:  # the logout reply closes the connection
            await asyncio.sleep(0)
    return latencies, time.process_time() - cpu0


def report(title, results, per):
    print(title)
    for name, rounds in results.items():
        p50 = [statistics.median(lat) * 1e6 for lat, _ in rounds]
        p99 = [percentile(lat, 0.99) * 1e6 for lat, _ in rounds]
        cpu = [c / per * 1e6 for _, c in rounds]
        print("  %-6s p50 min %7.1f med %7.1f us | p99 min %7.1f med %7.1f us | CPU min %6.1f med %6.1f us" % (
            name, min(p50), statistics.median(p50), min(p99), statistics.median(p99), min(cpu),
            statistics.median(cpu)))
    a, b = results["C++"], results["peer"]
    r50 = [statistics.median(x[0]) / statistics.median(y[0]) for x, y in zip(a, b)]
    rcpu = [x[1] / y[1] for x, y in zip(a, b)]
    print("  C++/peer: p50 min %.2f median %.2f | CPU min %.2f median %.2f" % (
        min(r50), statistics.median(r50), min(rcpu), statistics.median(rcpu)))


async def run(port, args):
    from dorvane.backend.socket.client import Client
    from peer_client import PeerClient

    loop = asyncio.get_running_loop()
    clients = {"C++": Client(PERSON, "127.0.0.1", port, loop=loop),
               "peer": PeerClient(PERSON, "127.0.0.1", port, loop=loop)}
    print("load before: %.2f %.2f %.2f" % os.getloadavg())
    for inflight in (1, 8):
        results = {name: [] for name in clients}
        for client in clients.values():
            await client.connect()
            await logins(client, 200, inflight)  # warm-up
        for _ in range(args.rounds):
            for name, client in clients.items():
                results[name].append(await logins(client, args.logins, inflight))
        for client in clients.values():
            client.close()
        await asyncio.sleep(0.05)
        report("login round trip, %d in flight, %d logins a round, %d rounds" % (
            inflight, args.logins, args.rounds), results, args.logins)
    results = {name: [] for name in clients}
    counter = IterationCounter(loop)
    iterations = {name: [] for name in clients}
    for name, client in clients.items():
        await cycles(client, 20, counter, [])  # warm-up
    for _ in range(args.rounds):
        for name, client in clients.items():
            results[name].append(await cycles(client, args.cycles, counter, iterations[name]))
    report("connect + login + logout cycle, %d cycles a round, %d rounds" % (args.cycles, args.rounds),
           results, args.cycles)
    print("  loop iterations a cycle: " + ", ".join(
        "%s min %d median %d" % (name, min(counts), statistics.median(counts)) for name, counts in iterations.items()))
    print("load after: %.2f %.2f %.2f" % os.getloadavg())


def main():
    if "--serve" in sys.argv[1:]:
        return serve()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--logins", type=int, default=2000)
    parser.add_argument("--cycles", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    proc, port = start_server()
    try:
        asyncio.run(run(port, args))
    finally:
        proc.terminate()
        proc.wait(5)


if __name__ == "__main__":
    main()
