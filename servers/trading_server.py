"""Loopback asyncio trading server for the tests and benchmarks.

It speaks the trading server's framing with its own header codec (a `struct.Struct`, independent
of the library's construct header, so a symmetric bug cannot hide): every message is a 48-byte
big-endian header followed by `net_length` body bytes, zlib-compressed when `bCompress` is 1.

Typical use on the test's own loop:

    server = TradingServer()
    await server.start()                      # server.host, server.port
    server.handle(2, lambda req: Reply())     # per request code; the default echoes the body
    reqs = await server.wait_requests(1, nKIVO=2)
    await server.close()

A handler receives a `Request` and answers with one of:
    None                      no reply;
    bytes / bytearray         a reply with that body (return code 0, uncompressed);
    Reply(...)                a reply described in full (return code, compression, delay, split,
                              drop the connection mid-reply, header overrides, raw bytes);
    a list or tuple of those  written together in ONE transport write (coalesced);
    an awaitable of the above awaited on the server's loop first.
Replies carry the request's handle and request code unless the Reply overrides them.

`ThreadedTradingServer` runs the same server on a loop of its own in a daemon thread (for code
under test that blocks its own thread); `python3 trading_server.py [port] [--fast]` serves in a
process of its own and prints "PORT <n>" once listening (--fast: the lean echo of `FastEcho`, for
benchmarks).
"""
import asyncio
import collections
import inspect
import socket
import struct
import sys
import threading
import zlib

__all__ = [
    "HEADER", "HEADER_SIZE", "FIELDS", "Header", "parse_header", "pack_header", "pack_message",
    "Request", "Reply", "TradingServer", "ThreadedTradingServer", "echo",
]

HEADER = struct.Struct(">iBBBBiiiI12sIiI")
HEADER_SIZE = HEADER.size  # 48
FIELDS = ("net_length", "bEncrypt", "bCompress", "bContinue", "bHts", "nDecompressLength", "nKIVO",
          "nHandle", "ip4", "person_id", "nDecodeLength", "nOutHandle", "ret")
DEFAULTS = dict(net_length=0, bEncrypt=0, bCompress=0, bContinue=0, bHts=1, nDecompressLength=0,
                nKIVO=0, nHandle=0, ip4=0, person_id=b"", nDecodeLength=0, nOutHandle=105, ret=0)

Header = collections.namedtuple("Header", FIELDS)


def parse_header(data):
    """48 bytes -> Header; person_id is the 12 raw bytes with the trailing NULs removed."""
    values = list(HEADER.unpack(bytes(data[:HEADER_SIZE])))
    values[9] = values[9].rstrip(b"\0")
    return Header(*values)


def pack_header(**fields):
    """Header bytes from field values; missing fields take DEFAULTS. person_id may be text (cp950)."""
    unknown = set(fields) - set(FIELDS)
    if unknown:
        raise TypeError("unknown header fields: {}".format(sorted(unknown)))
    values = dict(DEFAULTS, **fields)
    if isinstance(values["person_id"], str):
        values["person_id"] = values["person_id"].encode("cp950")
    return HEADER.pack(*(values[name] for name in FIELDS))


def pack_message(body=b"", compress=False, **fields):
    """A whole message: header and body. With compress the body is zlib-compressed and flagged.
    net_length, nDecompressLength and bCompress follow the body unless given explicitly."""
    body = bytes(body)
    if compress:
        wire = zlib.compress(body)
        fields.setdefault("bCompress", 1)
        fields.setdefault("nDecompressLength", len(body))
    else:
        wire = body
    fields.setdefault("net_length", len(wire))
    return pack_header(**fields) + wire


class Request:
    """One request as the server received it."""

    def __init__(self, header, raw, connection):
        self.header = header
        self.raw = raw                  # body bytes as received
        self.connection = connection    # the ServerConnection it came on
        self.error = None               # decompression error of a flagged body
        if header.bCompress == 1:
            try:
                self.body = zlib.decompress(raw)
            except zlib.error as exc:
                self.body, self.error = None, exc
        else:
            self.body = raw

    nKIVO = property(lambda self: self.header.nKIVO)
    nHandle = property(lambda self: self.header.nHandle)
    person_id = property(lambda self: self.header.person_id.decode("cp950"))

    def __repr__(self):
        return "<Request nKIVO={} nHandle={} {} bytes>".format(self.nKIVO, self.nHandle, len(self.raw))


class Reply:
    """A reply to write.

    body        reply body (before compression)
    ret         return code in the header
    compress    zlib-compress the body and flag it (bCompress 1, nDecompressLength)
    delay       seconds to wait before writing
    split       write the message in pieces of this many bytes, pausing `pause` s between them
    drop_after  write only the first N bytes of the message, then close the connection
    raw         bytes to write instead of a built message (garbage, hand-made headers)
    fields      header overrides (nHandle, nKIVO, net_length, bCompress, nDecompressLength, ...);
                nHandle and nKIVO default to the request's.
    """

    def __init__(self, body=b"", *, ret=0, compress=False, delay=0.0, split=None, pause=0.002,
                 drop_after=None, raw=None, **fields):
        self.body, self.ret, self.compress = body, ret, compress
        self.delay, self.split, self.pause, self.drop_after = delay, split, pause, drop_after
        self.raw, self.fields = raw, fields

    def to_bytes(self, request=None):
        if self.raw is not None:
            return bytes(self.raw)
        fields = dict(self.fields)
        if request is not None:
            fields.setdefault("nHandle", request.nHandle)
            fields.setdefault("nKIVO", request.nKIVO)
            fields.setdefault("person_id", request.header.person_id)
        fields.setdefault("ret", self.ret)
        return pack_message(self.body, compress=self.compress, **fields)

    @property
    def plain(self):
        """True when it can be written at once, without a task."""
        return not (self.delay or self.split or self.drop_after is not None)


def echo(request):
    """Default handler: answer with the request's (decompressed) body, uncompressed."""
    return Reply(request.body if request.body is not None else b"")


class ServerConnection(asyncio.Protocol):
    """The server's side of one client connection."""

    def __init__(self, server):
        self.server = server
        self.transport = None
        self._buf = bytearray()
        self.closed = asyncio.Event()

    def connection_made(self, transport):
        self.transport = transport
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.server._connected(self)

    def connection_lost(self, exc):
        self.closed.set()
        self.server._lost(self)

    def data_received(self, data):
        buf = self._buf
        buf += data
        offset = 0
        size = len(buf)
        while size - offset >= HEADER_SIZE:
            header = parse_header(buf[offset:offset + HEADER_SIZE])
            end = offset + HEADER_SIZE + header.net_length
            if header.net_length < 0:
                self.server.protocol_errors.append(header)
                self.transport.close()
                return
            if size < end:
                break
            raw = bytes(buf[offset + HEADER_SIZE:end])
            offset = end
            self.server._request(Request(header, raw, self))
        if offset:
            del buf[:offset]

    def write(self, data):
        if self.transport is not None and not self.transport.is_closing():
            self.transport.write(data)

    def close(self):
        if self.transport is not None:
            self.transport.close()

    def abort(self):
        if self.transport is not None:
            self.transport.abort()

    def reset(self):
        """Hang up with a TCP reset (the client's read fails with ConnectionResetError)."""
        if self.transport is not None:
            sock = self.transport.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.transport.abort()


class TradingServer:
    """The loopback trading server (see the module documentation)."""

    def __init__(self, host="127.0.0.1", port=0, record=True):
        self.host, self.port = host, port
        self.handlers = {}
        self.default = echo
        self.record = record            # keep every Request in `requests`
        self.requests = []
        self.protocol_errors = []       # headers with a negative length, after which it hung up
        self.connections = []           # live ServerConnections, oldest first
        self.accepted = 0               # connections accepted so far
        self.request_count = 0
        self._server = None
        self._held = None               # [count, [bytes...], connection] while coalescing
        self._waiters = []
        self._tasks = set()

    # ---- life ----
    async def start(self):
        self._server = await asyncio.get_running_loop().create_server(
            lambda: ServerConnection(self), self.host, self.port)
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    async def close(self):
        for conn in list(self.connections):
            conn.abort()
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
            self._server = None
        for task in list(self._tasks):
            task.cancel()
        if self._tasks:
            await asyncio.gather(*self._tasks, return_exceptions=True)

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.close()

    @property
    def address(self):
        return self.host, self.port

    # ---- behaviour ----
    def handle(self, nKIVO, handler=None):
        """Set the handler of a request code; without a handler, use as a decorator."""
        if handler is None:
            def decorator(fn):
                self.handlers[nKIVO] = fn
                return fn
            return decorator
        self.handlers[nKIVO] = handler
        return handler

    def coalesce(self, count):
        """Hold the next `count` reply messages (from any requests) and write them in one write."""
        self._held = [count, [], None]

    def push(self, data, connection=None):
        """Write bytes (or a Reply without request) to a connection, by default the newest."""
        conn = connection or self.connections[-1]
        conn.write(data.to_bytes() if isinstance(data, Reply) else bytes(data))

    def drop(self, abort=False, reset=False):
        """Close every client connection from the server's side: in order (FIN after the data
        already written), at once (abort), or with a TCP reset (reset)."""
        for conn in list(self.connections):
            if reset:
                conn.reset()
            elif abort:
                conn.abort()
            else:
                conn.close()

    # ---- waiting (on the server's loop) ----
    async def wait_requests(self, count, nKIVO=None, timeout=5.0):
        """Wait until `count` requests (of one request code, if given) arrived; returns them."""
        def matching():
            return [r for r in self.requests if nKIVO is None or r.nKIVO == nKIVO]

        async def until():
            while len(matching()) < count:
                await self._changed()
            return matching()[:count]
        return await asyncio.wait_for(until(), timeout)

    async def wait_connections(self, count, timeout=5.0):
        """Wait until `count` connections were accepted in all."""
        async def until():
            while self.accepted < count:
                await self._changed()
        await asyncio.wait_for(until(), timeout)

    async def wait_closed_connections(self, timeout=5.0):
        """Wait until no client connection is open."""
        async def until():
            while self.connections:
                await self._changed()
        await asyncio.wait_for(until(), timeout)

    def _changed(self):
        fut = asyncio.get_running_loop().create_future()
        self._waiters.append(fut)
        return fut

    def _wake(self):
        waiters, self._waiters = self._waiters, []
        for fut in waiters:
            if not fut.done():
                fut.set_result(None)

    # ---- internals ----
    def _connected(self, conn):
        self.connections.append(conn)
        self.accepted += 1
        self._wake()

    def _lost(self, conn):
        if conn in self.connections:
            self.connections.remove(conn)
        self._wake()

    def _request(self, request):
        self.request_count += 1
        if self.record:
            self.requests.append(request)
        if self._waiters:
            self._wake()
        handler = self.handlers.get(request.nKIVO, self.default)
        answer = handler(request)
        if inspect.isawaitable(answer):
            self._spawn(self._answer_later(request, answer))
        else:
            self._answer(request, answer)

    async def _answer_later(self, request, awaitable):
        self._answer(request, await awaitable)

    def _answer(self, request, answer):
        if answer is None:
            return
        if isinstance(answer, (bytes, bytearray, memoryview)):
            answer = Reply(bytes(answer))
        if isinstance(answer, (list, tuple)):
            replies = [Reply(bytes(a)) if isinstance(a, (bytes, bytearray)) else a for a in answer]
            self._emit(request.connection, b"".join(r.to_bytes(request) for r in replies))
        elif answer.plain:
            self._emit(request.connection, answer.to_bytes(request))
        else:
            self._spawn(self._write_slowly(request, answer))

    def _emit(self, conn, data):
        held = self._held
        if held is None:
            conn.write(data)
            return
        held[1].append(data)
        held[2] = conn
        if len(held[1]) >= held[0]:
            self._held = None
            conn.write(b"".join(held[1]))

    async def _write_slowly(self, request, reply):
        conn = request.connection
        if reply.delay:
            await asyncio.sleep(reply.delay)
        data = reply.to_bytes(request)
        if reply.drop_after is not None:
            conn.write(data[:reply.drop_after])
            conn.close()
            return
        if not reply.split:
            self._emit(conn, data)
            return
        for start in range(0, len(data), reply.split):
            conn.write(data[start:start + reply.split])
            await asyncio.sleep(reply.pause)

    def _spawn(self, coro):
        task = asyncio.ensure_future(coro)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)


class ThreadedTradingServer:
    """A TradingServer on its own loop in a daemon thread.

        with ThreadedTradingServer() as srv:
            srv.server.handle(...)            # set handlers before the requests come
            srv.wait_requests(1, nKIVO=2)     # blocking, from the test's thread
    """

    def __init__(self, host="127.0.0.1", port=0):
        self.server = TradingServer(host, port)
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self.loop.run_forever, daemon=True)

    def start(self):
        self._thread.start()
        self.call(self.server.start())
        return self

    def call(self, coro, timeout=10.0):
        """Run a coroutine on the server's loop and wait for its result."""
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def run(self, fn, *args):
        """Call fn(*args) on the server's loop and wait for its result."""
        async def call():
            return fn(*args)
        return self.call(call())

    def wait_requests(self, count, nKIVO=None, timeout=5.0):
        return self.call(self.server.wait_requests(count, nKIVO, timeout), timeout + 1)

    def stop(self):
        if self._thread.is_alive():
            self.call(self.server.close())
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join(5)
        self.loop.close()

    host = property(lambda self: self.server.host)
    port = property(lambda self: self.server.port)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class FastEcho(asyncio.Protocol):
    """A lean echo server connection for benchmarks: every request is answered with its
    (decompressed) body, uncompressed, under its handle and request code; the replies to one
    arrival go out in one write. No recording, no handlers."""

    def connection_made(self, transport):
        self.transport = transport
        self.buf = bytearray()
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def data_received(self, data):
        buf = self.buf
        buf += data
        offset, size, out = 0, len(buf), []
        unpack, pack = HEADER.unpack_from, HEADER.pack
        while size - offset >= HEADER_SIZE:
            f = unpack(buf, offset)
            end = offset + HEADER_SIZE + f[0]
            if f[0] < 0:
                self.transport.close()
                return
            if end > size:
                break
            body = bytes(buf[offset + HEADER_SIZE:end])
            if f[2] == 1:
                body = zlib.decompress(body)
            out.append(pack(len(body), 0, 0, 0, f[4], 0, f[6], f[7], f[8], f[9], 0, f[11], 0))
            out.append(body)
            offset = end
        if offset:
            del buf[:offset]
        if out:
            self.transport.write(b"".join(out))


def main(argv):
    """Serve on 127.0.0.1 until killed: `trading_server.py [port] [--fast]` (port 0 or none: any).
    Without --fast the full TradingServer with its echo handler; with it the lean FastEcho."""
    args = [a for a in argv[1:] if a != "--fast"]
    fast = "--fast" in argv[1:]
    port = int(args[0]) if args else 0

    async def serve():
        if fast:
            srv = await asyncio.get_running_loop().create_server(FastEcho, "127.0.0.1", port)
            print("PORT", srv.sockets[0].getsockname()[1], flush=True)
        else:
            server = TradingServer(port=port, record=False)
            await server.start()
            print("PORT", server.port, flush=True)
        await asyncio.Event().wait()

    try:
        asyncio.run(serve())
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main(sys.argv)
