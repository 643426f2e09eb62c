"""Round-trip benchmark of Connection.send against the loopback trading server.

For 1, 16 and 256 requests in flight, bodies of 100 B and 10 kB, compressed and not, it measures
requests per second, the median and 99th-percentile round-trip latency and the client's CPU time
per request (the server's time excluded, so a busy server does not hide the client's cost) of the
C++ Connection and of the pure-Python peer client (bench/peer_client.py), side by side on one client loop,
against the same echo server running in a process of its own, and prints the throughput ratios.

    /usr/bin/python3 bench/roundtrip.py [--seconds 1.0]
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
from peer_client import PeerConnection  # noqa: E402

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


async def run(port, seconds):
    loop = asyncio.get_running_loop()
    ours = Connection("127.0.0.1", port, PERSON, loop=loop, ping_duration=3600)
    await ours.connect()
    peer = PeerConnection("127.0.0.1", port, PERSON, loop=loop)
    await peer.connect()
    rows = []
    for inflight in (1, 16, 256):
        for size in (100, 10_000):
            body = body_of(size)
            for compress in (False, True):
                a = await measure(ours, inflight, body, compress, seconds)
                b = await measure(peer, inflight, body, compress, seconds)
                rows.append((inflight, size, compress, a, b))
                print_row(*rows[-1])
    ours.disconnect()
    peer.disconnect()
    await asyncio.sleep(0.05)
    ratios = [a["rps"] / b["rps"] for *_, a, b in rows]
    print("throughput ratio C++/Python: min {:.2f}x  median {:.2f}x  max {:.2f}x".format(
        min(ratios), statistics.median(ratios), max(ratios)))
    cpu = [a["cpu"] / b["cpu"] for *_, a, b in rows]
    print("client CPU per request C++/Python: min {:.2f}  median {:.2f}  max {:.2f}".format(
        min(cpu), statistics.median(cpu), max(cpu)))


def print_header():
    print("{:>8} {:>6} {:>5} | {:>9} {:>8} {:>8} {:>7} | {:>9} {:>8} {:>8} {:>7} | {:>6}".format(
        "inflight", "body", "zlib", "C++ req/s", "med us", "p99 us", "cpu us", "Py req/s", "med us", "p99 us",
        "cpu us", "ratio"))


def print_row(inflight, size, compress, a, b):
    print("{:>8} {:>6} {:>5} | {:>9.0f} {:>8.0f} {:>8.0f} {:>7.1f} | {:>9.0f} {:>8.0f} {:>8.0f} {:>7.1f} | {:>5.2f}x".format(
        inflight, size, "yes" if compress else "no", a["rps"], a["median"], a["p99"], a["cpu"],
        b["rps"], b["median"], b["p99"], b["cpu"], a["rps"] / b["rps"]), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="measuring time per case and client")
    args = parser.parse_args()
    proc, port = start_server()
    pin(0, 1)
    try:
        print_header()
        asyncio.run(run(port, args.seconds))
    finally:
        proc.terminate()
        proc.wait(5)


if __name__ == "__main__":
    main()
