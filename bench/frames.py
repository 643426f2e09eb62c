"""A socket request's own cost in the client, with an in-memory transport (no network, no server).

Per request: `send` (request future, handle, header-field dictionary, 48-byte header, one
transport write), then the reply: its bytes handed to the stream protocol's `data_received`,
framed, the header parsed, matched by handle, the future settled and the "data" events emitted.
The same work is measured for the C++ Connection and for the two plain-Python clients written from
the same steps (bench/peer_client.py: the "construct" peer with the protocol package's header
structure, the "struct" peer with a struct codec), interleaved round by round in one run, with the
interpreter's collector on. Reply bytes are made outside the timed part with an independent
struct codec.

    /usr/bin/python3 bench/frames.py [--requests 20000] [--rounds 7] [--size 100] [--compress]

Prints the process CPU time per request of each client (min and median over the rounds), the
ratios C++ / peer, and the machine load it ran under.
"""
import argparse
import asyncio
import os
import statistics
import struct
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [ROOT, HERE]

from dorvane.backend.socket.connect import Connection, Socket  # noqa: E402
from peer_client import PEERS  # noqa: E402

PERSON = "A123456789"
KIVO = 7  # not in the request table: the reply resolves with its body
WIRE = struct.Struct(">iBBBBiiiI12sIiI")  # the header, independently of the code under test


class MemoryTransport:
    """Collects what the client writes; never closes on its own."""

    def __init__(self):
        self.written = []

    def write(self, data):
        self.written.append(data)

    def is_closing(self):
        return False

    def get_extra_info(self, name, default=None):
        return ("127.0.0.1", 50000) if name == "sockname" else default

    def close(self):
        pass

    abort = close


def wire(conn, sock_class):
    """Attaches a stream protocol on a memory transport to `conn` as an opened connection would."""
    transport = MemoryTransport()
    sock = sock_class(conn)
    sock.connection_made(transport)
    conn._socket = sock
    conn.ip4 = "127.0.0.1"
    sock.event.on("data", f=conn.data_received)
    sock.event.on("disconnected", f=conn.reset)
    return sock, transport


def replies_for(written, body, compressed):
    """The server's answer to each written request: same handle and code, return code 0."""
    out = []
    wire_body = zlib.compress(body) if compressed else body
    for message in written:
        fields = WIRE.unpack_from(message)
        out.append(WIRE.pack(len(wire_body), 0, 1 if compressed else 0, 0, 1,
                             len(body) if compressed else 0, fields[6], fields[7], fields[8], fields[9],
                             0, 105, 0) + wire_body)
    return out


def one_round(conn, sock, transport, loop, count, body, compress):
    """CPU seconds for `count` requests sent and answered, in batches of 256 in flight."""
    batch = 256
    spent = 0.0
    done = 0
    send = conn.send
    received = sock.data_received
    clock = time.process_time
    while done < count:
        n = min(batch, count - done)
        transport.written.clear()
        t0 = clock()
        futures = [send(KIVO, PERSON, body, compress=compress) for _ in range(n)]
        spent += clock() - t0
        replies = replies_for(transport.written, body, compress)
        t0 = clock()
        for data in replies:
            received(data)
        spent += clock() - t0
        loop.run_until_complete(asyncio.sleep(0))  # let the futures' callbacks run, untimed
        for fut in futures:
            if fut.result() != body:
                raise AssertionError("wrong reply")
        done += n
    return spent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=20000, help="requests per round and client")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--size", type=int, default=100, help="request and reply body bytes")
    parser.add_argument("--compress", action="store_true", help="send compressed, reply compressed")
    args = parser.parse_args()

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    body = bytes((i * 7 + 3) % 251 for i in range(args.size))
    ours = Connection("127.0.0.1", 0, PERSON, loop=loop, ping_duration=3600)
    clients = {"C++": (ours,) + wire(ours, Socket)}
    for name, (conn_class, sock_class) in PEERS.items():
        peer = conn_class("127.0.0.1", 0, PERSON, loop=loop)
        clients[name] = (peer,) + wire(peer, sock_class)

    costs = {name: [] for name in clients}
    for name, (conn, sock, transport) in clients.items():  # warm-up
        one_round(conn, sock, transport, loop, 1000, body, args.compress)
    load = os.getloadavg()
    for _ in range(args.rounds):
        for name, (conn, sock, transport) in clients.items():
            spent = one_round(conn, sock, transport, loop, args.requests, body, args.compress)
            costs[name].append(spent / args.requests)
    loop.close()

    print("in-memory transport, %d-byte body, %s; %d rounds of %d requests; load %.2f %.2f %.2f" % (
        args.size, "compressed" if args.compress else "uncompressed", args.rounds, args.requests, *load))
    for name, cost in costs.items():
        print("%-10s CPU per request: min %6.2f us  median %6.2f us" % (
            name, min(cost) * 1e6, statistics.median(cost) * 1e6))
    goals = {"construct": 0.30, "struct": 0.70}
    for name in PEERS:
        print("C++ / %-9s  min %.2f  median %.2f  (goal <= %.2f)" % (
            name, min(costs["C++"]) / min(costs[name]),
            statistics.median(costs["C++"]) / statistics.median(costs[name]), goals[name]))


if __name__ == "__main__":
    main()
