"""Pure-Python asyncio clients of the trading server's framing, the peers that the benchmarks run
beside the C++ Connection: same events through pyee, same request and reply steps (gen_header of the
protocol package included), written plainly in Python. `PeerConnection` builds and parses the header
with the protocol package's construct structure; `StructPeerConnection` with `struct`, the peer a
Python programmer writing for speed would write."""
import asyncio
import os
import struct
import zlib
from collections import deque, namedtuple

from pyee import EventEmitter

from dorvane.backend.error import ServerError
from dorvane.backend.utils import log
from dorvane.backend.socket import protocol


class PeerSocket(asyncio.Protocol):
    def __init__(self, connection):
        self.transport = None
        self.connection = connection
        self.header = connection.proto.HEADER
        self.header_size = connection.proto.HEADER_SIZE
        self._data = b""
        self.event = EventEmitter()

    def connection_made(self, transport):
        self.transport = transport

    def connection_lost(self, exc):
        if exc:
            self.event.emit("error", exc)
        self.event.emit("disconnected")

    def data_received(self, data):
        self._data += data
        while len(self._data) >= self.header_size:
            header = self.header.parse(self._data[:self.header_size])
            end = self.header_size + header.net_length
            if len(self._data) < end:
                return
            body = self._data[self.header_size:end]
            self._data = self._data[end:]
            self.event.emit("data", (header, body))


class PeerConnection:
    socket_class = PeerSocket

    def __init__(self, host, port, person_id, loop=None, ping_duration=10):
        self.host, self.port, self._person_id = host, port, person_id
        self._loop = loop or asyncio.get_event_loop()
        self._ping_duration = ping_duration
        self.local_port = None
        self.ip4 = "127.0.0.1"
        self.proto = protocol
        self.event = EventEmitter()
        self.nHandle = 0
        self.req_map = {}
        self._socket = None
        self.unsolicited = deque()

    def reset(self):
        self.nHandle = 0
        self.req_map = {}
        self._socket = None
        self.local_port = None
        self.ip4 = "127.0.0.1"
        self.unsolicited = deque()
        self.event.emit("disconnected")
        self.event.remove_all_listeners()

    async def connect(self):
        transport, sock = await self._loop.create_connection(lambda: self.socket_class(self), self.host, self.port)
        self._socket = sock
        address = transport.get_extra_info("sockname")
        self.local_port, self.ip4 = str(address[1]), str(address[0])
        sock.event.on("data", f=self.data_received)
        sock.event.on("disconnected", f=self.reset)
        self.event.emit("connected")
        self.ping_alive(self._person_id, self._loop)
        return transport, sock

    def ping_alive(self, person_id, loop=None):
        asyncio.run_coroutine_threadsafe(self.ping_aliveAsync(person_id, loop=loop), loop=loop or self._loop)

    async def ping_aliveAsync(self, person_id, loop=None):
        loop = loop or self._loop
        while self.is_alive():
            try:
                self.send(2, person_id, b"", compress=False, loop=loop)
                await asyncio.sleep(self._ping_duration)
            except Exception as exc:
                log.error(exc)

    def is_alive(self):
        if self._socket is None:
            return None
        return not self._socket.transport.is_closing()

    def _get_handle(self):
        handle = self.nHandle
        self.nHandle += 1
        return handle

    def send(self, nKIVO, person_id, data, compress=True, cb=None, loop=None, **kwargs):
        if isinstance(data, dict):
            _, payload = self._build(nKIVO, data)
        elif isinstance(data, bytes):
            payload = data
        else:
            payload = b""
        return self._send(nKIVO, person_id, payload, compress=compress, cb=cb, loop=loop, **kwargs)

    def _send(self, nKIVO, person_id, payload, compress=True, cb=None, loop=None, **kwargs):
        loop = loop or self._loop
        fut = loop.create_future()
        if cb:
            fut.add_done_callback(cb)
        if not self.is_alive():
            fut.set_exception(Exception("Please login first."))
            return fut
        handle = self._get_handle()
        if compress is True and payload:
            body = zlib.compress(payload)
            header = self._build_header(nKIVO, person_id, handle, body, decompress_length=len(payload), **kwargs)
        else:
            body = payload
            header = self._build_header(nKIVO, person_id, handle, body, decompress_length=0, **kwargs)
        self._socket.transport.write(header + body)
        self.req_map[handle] = fut
        return fut

    def data_received(self, data):
        header, msg = data
        fut = self.req_map.pop(header.nHandle, None)
        if fut is None:
            self.unsolicited.append({"header": header, "msg": msg})
            return
        if header.ret != self.proto.STATUS_CODE.success:
            exc = ServerError(header.ret, self.proto.STATUS_CODE.code.get(header.ret))
            fut.set_exception(exc)
            self.event.emit("error", exc)
            return
        if header.bCompress == 1:
            msg = zlib.decompress(msg)
        if not fut.done():
            fut.set_result(self._parse(header.nKIVO, msg))
        self.event.emit("data", msg)

    def _parse(self, nKIVO, msg):
        _, parser = self.proto.kivo_map.get(nKIVO, (None, None))
        return parser(msg) if parser else msg

    def _build(self, nKIVO, body):
        builder, _ = self.proto.kivo_map.get(nKIVO, (None, None))
        if not builder:
            raise Exception("KIVO[{}] handler is not exist.".format(nKIVO))
        return builder(**body)

    def _build_header(self, nKIVO, person_id, nHandle, payload, decompress_length=0, **kwargs):
        header = self.proto.gen_header(nKIVO=nKIVO, person_id=person_id, ip4=self.ip4, **kwargs)
        header["nHandle"] = nHandle
        header["net_length"] = len(payload)
        header["nDecompressLength"] = decompress_length
        if decompress_length > 0:
            header["bCompress"] = 1
        return self._pack_header(header)

    def _pack_header(self, header):
        """The header bytes of a completed header-field dictionary."""
        return self.proto.HEADER.build(header)

    def disconnect(self):
        if self._socket is not None:
            self._socket.transport.close()
            self._socket = None
            self.local_port = None


# ---------------------------------------------------------------------------------------------
# The same client with the header built and parsed by the struct module instead of construct: what
# a Python programmer writing for speed would do. Every other step is the one above.

HEADER_FIELDS = ("net_length", "bEncrypt", "bCompress", "bContinue", "bHts", "nDecompressLength", "nKIVO",
                 "nHandle", "ip4", "person_id", "nDecodeLength", "nOutHandle", "ret")
WIRE = struct.Struct(">iBBBBiiiI12sIiI")
Header = namedtuple("Header", HEADER_FIELDS)


def pack_header(fields):
    """The 48 header bytes of a header-field dictionary."""
    return WIRE.pack(fields["net_length"], fields["bEncrypt"], fields["bCompress"], fields["bContinue"],
                     fields["bHts"], fields["nDecompressLength"], fields["nKIVO"], fields["nHandle"],
                     fields["ip4"], fields["person_id"].encode("cp950"), fields["nDecodeLength"],
                     fields["nOutHandle"], fields["ret"])


def unpack_header(data):
    """The parsed header (attribute access, as the structure's record) of 48 bytes."""
    f = WIRE.unpack(data)
    return Header(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9].rstrip(b"\0").decode("cp950"),
                  f[10], f[11], f[12])


class StructPeerSocket(PeerSocket):
    def data_received(self, data):
        self._data += data
        size = WIRE.size
        while len(self._data) >= size:
            header = unpack_header(self._data[:size])
            end = size + header.net_length
            if len(self._data) < end:
                return
            body = self._data[size:end]
            self._data = self._data[end:]
            self.event.emit("data", (header, body))


class StructPeerConnection(PeerConnection):
    socket_class = StructPeerSocket

    def _pack_header(self, header):
        return pack_header(header)


# The two peers by the name the benches print.
PEERS = {"construct": (PeerConnection, PeerSocket), "struct": (StructPeerConnection, StructPeerSocket)}


# ---------------------------------------------------------------------------------------------
# The session client written the same way, on the struct peer: `api`'s request wrapper (a caller
# future, a reply filter that trims the reply to the wanted keys), login and logout with their
# callbacks, the four connection listeners.

LOGIN_KEYS = ("person_id", "idno", "username", "sol_host", "sol_vpn", "sol_user", "sol_pass", "sol_timeout",
              "hts_group", "sol_clientName", "sol_cache", "sol_flag")


def api(keys=(), all=False):
    def decorator(fn):
        async def newFn(*args, cb=None, loop=None, **kwargs):
            loop = loop or asyncio.get_event_loop()
            caller = loop.create_future()
            if cb:
                caller.add_done_callback(cb)

            def filter(fut):
                try:
                    result = fut.result()
                    if not all:
                        for key in list(result.keys()):
                            if key not in keys:
                                result.pop(key)
                except asyncio.CancelledError:
                    if not caller.done():
                        caller.cancel()
                    return
                except Exception as exc:
                    if not caller.done():
                        caller.set_exception(exc)
                    return
                if not caller.done():
                    caller.set_result(result)
            try:
                fn(*args, cb=filter, loop=loop, **kwargs)
            except Exception as exc:
                caller.set_exception(exc)
            return caller
        return newFn
    return decorator


class PeerClient:
    def __init__(self, person_id, host, port, loop=None, simulation=True, reconnection=False):
        self._host, self._port, self._person_id = host, port, person_id
        self._loop = loop or asyncio.get_event_loop()
        self._simulation = simulation
        self.isLogined = False
        self.event = EventEmitter()
        self.conn = StructPeerConnection(host, port, person_id, loop=self._loop)
        self._subscribe()
        self.reconnection = reconnection

    def _subscribe(self):
        handlers = (("data", self._onData), ("error", self._onError), ("connected", self._onConnected),
                    ("disconnected", self._onDisconnected))
        for name, handler in handlers:
            if handler not in self.conn.event.listeners(name):
                self.conn.event.on(name, f=handler)

    def connect(self, loop=None):
        self._subscribe()
        return self._loop.create_task(self.conn.connect())

    def close(self):
        self.conn.disconnect()

    def reset(self):
        self.isLogined = False

    @api(LOGIN_KEYS)
    def login(self, person_id, passwd, cb=None, loop=None):
        if self.conn.local_port is None:
            raise Exception("Please connect first.")
        header, payload = protocol.login_in(person_id, passwd, "V", sol=True,
                                            sol_opt={"pid": str(os.getpid()), "port": self.conn.local_port})
        fut = self.conn.send(**header, data=payload, cb=cb, loop=loop)
        fut.add_done_callback(self.login_cb)
        return fut

    def login_cb(self, fut):
        if fut.cancelled() or fut.exception():
            self.isLogined = False
        elif fut.result().person_id:
            self.isLogined = True

    @api(all=True)
    def logout(self, cb=None, loop=None):
        header, payload = protocol.logout_in(self._person_id)
        fut = self.conn.send(**header, data=payload, cb=cb, loop=loop)
        fut.add_done_callback(self.logout_cb)
        return fut

    def logout_cb(self, fut):
        self.close()
        self.reset()

    def _onData(self, data):
        pass

    def _onError(self, msg):
        log.error("Client hasError: {}".format(msg))

    def _onConnected(self):
        log.info("connection created.")

    def _onDisconnected(self):
        self.isLogined = False
        log.info("connection lost...\nPlease log in again.")
