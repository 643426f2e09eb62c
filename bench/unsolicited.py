"""Memory of a connection flooded with replies that match no request, over real TCP.

A loopback trading server writes `--replies` unmatched replies with bodies of `--size` bytes to a
connected Connection, then answers one request, whose reply comes behind them on the stream. The
client's resident memory is read before the flood and after it (with the collector run), together
with how many replies the queue `unsolicited` kept and how many body bytes. The growth includes
what the allocator kept of the flood's own buffers (the server's copy and the receive buffer).

    /usr/bin/python3 bench/unsolicited.py [--replies 200000] [--size 0]

The queue keeps at most 1000 replies and 4 MiB of bodies (the newest reply always), so the growth
stays near the size of what is kept, whatever the number of replies.
"""
import argparse
import asyncio
import gc
import os
import resource
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from dorvane.backend.socket.connect import Connection  # noqa: E402
from servers.trading_server import TradingServer, pack_message  # noqa: E402


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


async def main(replies, size):
    server = TradingServer()
    await server.start()
    conn = Connection(server.host, server.port, "A123456789", loop=asyncio.get_running_loop(),
                      ping_duration=3600)
    await conn.connect()
    await server.wait_requests(1, nKIVO=2)
    gc.collect()
    before = rss_mb()
    flood = b"".join(pack_message(bytes(size), nKIVO=7, nHandle=1_000_000 + i) for i in range(replies))
    server.push(flood)
    del flood
    await asyncio.wait_for(conn.send(7, "A123456789", b"after"), 600)
    gc.collect()
    after = rss_mb()
    kept = len(conn.unsolicited)
    body = sum(len(k["msg"]) for k in conn.unsolicited)
    print("replies {} of {} bytes: kept {} ({} body bytes), dropped {}; resident memory {:.1f} MB -> "
          "{:.1f} MB (+{:.1f} MB)".format(replies, size, kept, body, conn._unsolicited_dropped, before, after,
                                           after - before))
    conn.disconnect()
    await server.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--replies", type=int, default=200_000)
    parser.add_argument("--size", type=int, default=0)
    args = parser.parse_args()
    asyncio.run(main(args.replies, args.size))
