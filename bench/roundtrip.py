"""Round-trip benchmark of Connection.send against the loopback trading server.

For 1, 16 and 256 requests in flight, bodies of 100 B and 10 kB, compressed and not, it measures
requests per second, the median and 99th-percentile round-trip latency and the client's CPU time
per request (the server's time excluded, so a busy server does not hide the client's cost) of the
C++ Connection and of the pure-Python peer clients (bench/peer_client.py: the "construct" peer
and the "struct" peer), side by side on one client loop, against the same echo server running in
a process of its own, and prints the ratios against each peer.

With --cpu it measures only the client's process CPU time per request for a fixed number of
requests (default 100k, 100 in flight, 100-byte bodies), in interleaved rounds, and prints min and
median over the rounds with the machine load:

    /usr/bin/python3 bench/roundtrip.py [--seconds 1.0]
    /usr/bin/python3 bench/roundtrip.py --cpu [--requests 100000] [--inflight 100] [--rounds 5]
"""
import argparse
import asyncio
import gc
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [ROOT, HERE]

from dorvane.backend.socket.connect import Connection  # noqa: E402
from peer_client import PEERS  # noqa: E402

PERSON = "A123456789"
KIVO = 7  # not in the request table: the reply resolves with its body


def body_of(size):
    rnd = random.Random(size)
    words = [bytes(rnd.choice(b"abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(rnd.randint(2, 9)))
             for _ in range(64)]
    out = b" ".join(rnd.choice(words) for _ in range(size))
    return out[:size]


def pin(pid, cpu):
    """Keeps a process on one CPU, when the machine has it, for steadier latencies."""
    try:
        if cpu in os.sched_getaffinity(0):
            os.sched_setaffinity(pid, {cpu})
    except (AttributeError, OSError):
        pass


def start_server():
    proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "servers", "trading_server.py"), "--fast"],
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline().split()
    if not line or line[0] != "PORT":
        proc.kill()
        raise SystemExit("the trading server did not start")
    pin(proc.pid, 3)
    return proc, int(line[1])


async def measure(conn, inflight, body, compress, seconds):
    """Runs `inflight` workers that each send a request, await its reply, and send again."""
    latencies = []
    loop = asyncio.get_running_loop()
    stop_at = loop.time() + seconds
    clock = time.perf_counter

    async def worker():
        send = conn.send
        while loop.time() < stop_at:
            t0 = clock()
            reply = await send(KIVO, PERSON, body, compress=compress)
            latencies.append(clock() - t0)
            if len(reply) != len(body):
                raise AssertionError("short reply")

    # warm-up
    await asyncio.gather(*(conn.send(KIVO, PERSON, body, compress=compress) for _ in range(inflight)))
    gc.collect()
    t0 = clock()
    cpu0 = time.process_time()
    await asyncio.gather(*(worker() for _ in range(inflight)))
    elapsed = clock() - t0
    cpu = time.process_time() - cpu0
    latencies.sort()
    return {
        "rps": len(latencies) / elapsed,
        # The server runs in a process of its own: this is the client's CPU time alone.
        "cpu": cpu / max(1, len(latencies)) * 1e6,
        "median": statistics.median(latencies) * 1e6,
        "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] * 1e6,
    }


async def open_clients(port):
    loop = asyncio.get_running_loop()
    clients = {"C++": Connection("127.0.0.1", port, PERSON, loop=loop, ping_duration=3600)}
    for name, (conn_class, _) in PEERS.items():
        clients[name] = conn_class("127.0.0.1", port, PERSON, loop=loop, ping_duration=3600)
    for conn in clients.values():
        await conn.connect()
    return clients


async def close_clients(clients):
    for conn in clients.values():
        conn.disconnect()
    await asyncio.sleep(0.05)


async def run(port, seconds):
    clients = await open_clients(port)
    rows = []
    for inflight in (1, 16, 256):
        for size in (100, 10_000):
            body = body_of(size)
            for compress in (False, True):
                results = {name: await measure(conn, inflight, body, compress, seconds)
                           for name, conn in clients.items()}
                rows.append((inflight, size, compress, results))
                print_row(*rows[-1])
    await close_clients(clients)
    for peer in PEERS:
        ratios = [r["C++"]["rps"] / r[peer]["rps"] for *_, r in rows]
        cpu = [r["C++"]["cpu"] / r[peer]["cpu"] for *_, r in rows]
        print("against the {} peer: throughput C++/peer min {:.2f}x median {:.2f}x max {:.2f}x; "
              "client CPU per request C++/peer min {:.2f} median {:.2f} max {:.2f}".format(
                  peer, min(ratios), statistics.median(ratios), max(ratios),
                  min(cpu), statistics.median(cpu), max(cpu)))


async def cpu_run(port, requests, inflight, size, compress, rounds):
    """Process CPU per request for `requests` requests with `inflight` in flight, per client."""
    clients = await open_clients(port)
    body = body_of(size)

    async def one(conn):
        remaining = [requests]

        async def worker():
            send = conn.send
            while remaining[0] > 0:
                remaining[0] -= 1
                await send(KIVO, PERSON, body, compress=compress)

        gc.collect()
        cpu0 = time.process_time()
        await asyncio.gather(*(worker() for _ in range(inflight)))
        return (time.process_time() - cpu0) / requests

    for conn in clients.values():  # warm-up
        await asyncio.gather(*(conn.send(KIVO, PERSON, body, compress=compress) for _ in range(inflight)))
    load = os.getloadavg()
    costs = {name: [] for name in clients}
    for _ in range(rounds):
        for name, conn in clients.items():
            costs[name].append(await one(conn))
    await close_clients(clients)
    print("loopback, %d requests, %d in flight, %d-byte body, %s; %d rounds; load %.2f %.2f %.2f" % (
        requests, inflight, size, "compressed" if compress else "uncompressed", rounds, *load))
    for name, cost in costs.items():
        print("%-10s client CPU per request: min %6.2f us  median %6.2f us" % (
            name, min(cost) * 1e6, statistics.median(cost) * 1e6))
    for peer in PEERS:
        print("C++ / %-9s  min %.2f  median %.2f" % (
            peer, min(costs["C++"]) / min(costs[peer]),
            statistics.median(costs["C++"]) / statistics.median(costs[peer])))


def print_header():
    cols = "".join(" | {:>9} {:>8} {:>8} {:>7}".format(name[:5] + " r/s", "med us", "p99 us", "cpu us")
                   for name in ["C++"] + list(PEERS))
    print("{:>8} {:>6} {:>5}".format("inflight", "body", "zlib") + cols)


def print_row(inflight, size, compress, results):
    cols = "".join(" | {:>9.0f} {:>8.0f} {:>8.0f} {:>7.1f}".format(r["rps"], r["median"], r["p99"], r["cpu"])
                   for r in results.values())
    print("{:>8} {:>6} {:>5}".format(inflight, size, "yes" if compress else "no") + cols, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="measuring time per case and client")
    parser.add_argument("--cpu", action="store_true", help="only the client CPU per request (below)")
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--inflight", type=int, default=100)
    parser.add_argument("--size", type=int, default=100)
    parser.add_argument("--compress", action="store_true")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    proc, port = start_server()
    pin(0, 1)
    try:
        if args.cpu:
            asyncio.run(cpu_run(port, args.requests, args.inflight, args.size, args.compress, args.rounds))
        else:
            print_header()
            asyncio.run(run(port, args.seconds))
    finally:
        proc.terminate()
        proc.wait(5)


if __name__ == "__main__":
    main()
