"""Loopback HTTP back end: a real http.server on 127.0.0.1 in a thread, answering by routes.

    from servers.http_server import HttpBackend, Reply     # the tests' fixture `http_backend` wraps one

    backend = HttpBackend()                     # listening at once; backend.base_url
    backend.route("GET", "/stock/list_code", {"success": "true", "result": []})
    backend.route("POST", "/futopt/order", lambda req: {"success": "true", "echo": req.json})
    backend.route("POST", "/futopt/order/query", [reply1, reply2])   # served in turn, last repeats
    backend.route("GET", "/broken", Reply(500, b"not json", "text/plain"))
    client = backend.client()                   # dorvane.backend.http.client.Client at this back end
    ...
    backend.requests                            # every Request received, routed or not, in order
    backend.requests_to("/futopt/order")        # those of one path
    backend.close()

A route's reply is a JSON-able object (sent as JSON with status 200), a `Reply`, a callable taking
the `Request` and returning either, or a list of these served one per request (the last one
repeats). A later `route` for the same method and path replaces the earlier one. A request with no
route gets 404 with a text body. Paths are matched without the query string.
"""
import json
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

__all__ = ["HttpBackend", "Reply", "Request"]


@dataclass
class Reply:
    """A reply as sent: status, body (bytes, text, or a JSON-able object), content type."""

    status: int = 200
    body: object = b""
    content_type: str = "application/json"
    headers: dict = field(default_factory=dict)

    def encode(self):
        body = self.body
        if isinstance(body, str):
            body = body.encode("utf-8")
        elif not isinstance(body, (bytes, bytearray)):
            body = json.dumps(body, ensure_ascii=False).encode("utf-8")
        return bytes(body)


@dataclass
class Request:
    """A request the back end received."""

    method: str
    path: str
    query: dict
    headers: dict
    body: bytes

    @property
    def json(self):
        """The body decoded as JSON, None when it is empty or not JSON."""
        if not self.body:
            return None
        try:
            return json.loads(self.body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            return None


class _Route:
    def __init__(self, reply):
        self._replies = list(reply) if isinstance(reply, list) else [reply]
        self._next = 0
        self._lock = threading.Lock()

    def reply_for(self, request):
        with self._lock:
            reply = self._replies[min(self._next, len(self._replies) - 1)]
            self._next += 1
        if callable(reply) and not isinstance(reply, Reply):
            reply = reply(request)
        if not isinstance(reply, Reply):
            reply = Reply(200, reply)
        return reply


class _Server(ThreadingHTTPServer):
    # Connections waiting to be accepted. The standard 5 is soon exceeded when a program's threads
    # connect at once, and the connections beyond it were reset before their first request.
    request_queue_size = 128


class HttpBackend:
    """The loopback back end; starts listening on construction (by default on an ephemeral port)."""

    def __init__(self, host="127.0.0.1", port=0):
        self._routes = {}
        self._lock = threading.Lock()
        self.requests = []
        backend = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            disable_nagle_algorithm = True  # headers and body go out in two writes: no 40 ms stall

            def log_message(self, *args):  # keep test output quiet
                pass

            def _handle(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                parts = urlsplit(self.path)
                request = Request(self.command, parts.path, parse_qs(parts.query),
                                  {k.lower(): v for k, v in self.headers.items()}, body)
                reply = backend._dispatch(request)
                data = reply.encode()
                self.send_response(reply.status)
                self.send_header("Content-Type", reply.content_type)
                self.send_header("Content-Length", str(len(data)))
                for name, value in reply.headers.items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(data)

            do_GET = do_POST = do_PUT = do_DELETE = _handle

        self._server = _Server((host, port), Handler)
        self._server.daemon_threads = True
        self.host, self.port = self._server.server_address[:2]
        self.base_url = "http://{}:{}".format(self.host, self.port)
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.02},
                                        name="http-backend", daemon=True)
        self._thread.start()

    def _dispatch(self, request):
        with self._lock:
            self.requests.append(request)
            route = self._routes.get((request.method, request.path))
        if route is None:
            return Reply(404, "no route for {} {}".format(request.method, request.path), "text/plain")
        try:
            return route.reply_for(request)
        except Exception as exc:  # a faulty test handler must not hang the client
            return Reply(500, "handler failed: {!r}".format(exc), "text/plain")

    def route(self, method, path, reply):
        """Serves `reply` for `method` `path` (see the module text)."""
        with self._lock:
            self._routes[(method.upper(), path)] = _Route(reply)
        return self

    def url(self, path):
        return self.base_url + path

    def requests_to(self, path, method=None):
        with self._lock:
            return [r for r in self.requests if r.path == path and (method is None or r.method == method.upper())]

    def clear(self):
        """Forgets the recorded requests (routes stay)."""
        with self._lock:
            self.requests.clear()

    def client(self, simulation=True, proxies=None):
        """A `dorvane.backend.http.client.Client` whose endpoints point at this back end."""
        from dorvane.backend.http.client import Client

        client = Client(simulation, proxies)
        client.set_base_url(self.base_url)
        return client

    def close(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

