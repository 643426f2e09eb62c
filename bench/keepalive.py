"""The cost of ending a waiting keep-alive: its task cancelled, as a connection's reset does, and the
step in which the cancellation goes through the keep-alive's wait and ends it.

The C++ Connection's keep-alive and the struct peer's (bench/peer_client.py: an `async def` loop)
run on connections wired to an in-memory transport, many at once, each in its own task, until
every one waits in its period; then the tasks are cancelled and the loop runs until all have ended.
Interleaved round by round in one run, with the interpreter's collector on.

    /usr/bin/python3 bench/keepalive.py [--tasks 2000] [--rounds 7]

Prints the process CPU time per ended keep-alive of each (min and median over the rounds), the
ratio C++ / peer, and the machine load it ran under.
"""
import argparse
import asyncio
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [ROOT, HERE]

from dorvane.backend.socket.connect import Connection, Socket  # noqa: E402
from frames import PERSON, wire  # noqa: E402
from peer_client import PEERS  # noqa: E402


def one_round(loop, conn, count):
    """CPU seconds to cancel `count` waiting keep-alives of `conn` and let them end."""
    tasks = [loop.create_task(conn.ping_aliveAsync(PERSON, loop=loop)) for _ in range(count)]
    loop.run_until_complete(asyncio.sleep(0))  # each sent its request and waits its period
    if any(t.done() for t in tasks):
        raise AssertionError("a keep-alive ended before it was cancelled")
    clock = time.process_time
    t0 = clock()
    for t in tasks:
        t.cancel()
    loop.run_until_complete(asyncio.sleep(0))
    spent = clock() - t0
    if not all(t.cancelled() for t in tasks):
        raise AssertionError("a keep-alive did not end by its cancellation")
    conn.req_map.clear()
    return spent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=2000, help="keep-alives ended per round and client")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    ours = Connection("127.0.0.1", 0, PERSON, loop=loop, ping_duration=3600)
    wire(ours, Socket)
    conn_class, sock_class = PEERS["struct"]
    peer = conn_class("127.0.0.1", 0, PERSON, loop=loop, ping_duration=3600)
    wire(peer, sock_class)
    clients = {"C++": ours, "struct": peer}

    for conn in clients.values():  # warm-up
        one_round(loop, conn, 200)
    costs = {name: [] for name in clients}
    load = os.getloadavg()
    for _ in range(args.rounds):
        for name, conn in clients.items():
            costs[name].append(one_round(loop, conn, args.tasks) / args.tasks)
    loop.close()

    print("keep-alive cancelled while it waits; %d rounds of %d; load %.2f %.2f %.2f" % (
        args.rounds, args.tasks, *load))
    for name, cost in costs.items():
        print("%-7s CPU per keep-alive ended: min %6.2f us  median %6.2f us" % (
            name, min(cost) * 1e6, statistics.median(cost) * 1e6))
    print("C++ / struct  min %.2f  median %.2f" % (
        min(costs["C++"]) / min(costs["struct"]), statistics.median(costs["C++"]) / statistics.median(costs["struct"])))


if __name__ == "__main__":
    main()
