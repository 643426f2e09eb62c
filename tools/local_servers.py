"""Run the bundled local servers on the addresses that the library's configuration names.

    python3 tools/local_servers.py                  serve until interrupted (prints "READY ...")
    python3 tools/local_servers.py --run PROGRAM    serve while PROGRAM runs with this interpreter,
                                                    then stop; exits with PROGRAM's return code
    python3 tools/local_servers.py --section PRODUCTION ...   the addresses of the other environment
    python3 tools/local_servers.py --trading 127.0.0.1:18011 --http 127.0.0.1:18012 ...
                                                    serve on other addresses (port 0: any free one);
                                                    a PROGRAM of --run is pointed at them

Two servers (servers/):
- the loopback trading server, on the host and port of the section of
  dorvane/backend/socket/config.ini: it speaks the real framing and answers logins and logouts;
- the local broker's HTTP back end, at the base URL of the HTTP session client for the section
  (UAT: simulation, PRODUCTION: production; DORVANE_HTTP_BASE_URL replaces both): login, the four
  product lists, futures and option orders and the six account queries.
The quote service needs no process: it runs inside the program that uses the messaging binding
(quillmesh.solclient), with its local feed.

When an address is taken, the message names the server, the address, where it is configured, the
program that holds it (as ss reports it) and the options that move the servers elsewhere.

A PROGRAM of --run on addresses other than the configured ones runs through tools/point_run.py,
which points the socket facade's configuration and DORVANE_HTTP_BASE_URL at the servers first.
"""
import argparse
import configparser
import errno
import os
import re
import subprocess
import sys
import threading
from urllib.parse import urlsplit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from dorvane.backend.http.client import base_url  # noqa: E402
from servers.broker_backend import LocalBroker  # noqa: E402
from servers.http_server import HttpBackend  # noqa: E402
from servers.session_server import SessionService  # noqa: E402
from servers.trading_server import ThreadedTradingServer  # noqa: E402

CONFIG = os.path.join(ROOT, "dorvane", "backend", "socket", "config.ini")


def trading_address(section="UAT"):
    """(host, port) of a section of the socket facade's config.ini."""
    config = configparser.ConfigParser()
    if not config.read(CONFIG):
        raise SystemExit("cannot read {}".format(CONFIG))
    return config.get(section, "host"), int(config.get(section, "port"))


def http_address(section="UAT"):
    """(host, port, path prefix) of the HTTP back end that the section's clients use."""
    parts = urlsplit(base_url(section == "UAT"))
    return parts.hostname, parts.port or 80, parts.path


def point_library_at(trading_host, trading_port, http_base_url):
    """Points the library in this process at a trading server and an HTTP back end: the socket
    facade's configuration (both sections) and DORVANE_HTTP_BASE_URL for HTTP clients made from
    now on."""
    from dorvane.backend.http.client import BASE_URL_ENV
    from dorvane.backend.socket import wrapper

    config = configparser.ConfigParser()
    for section in ("UAT", "PRODUCTION"):
        config[section] = {"host": trading_host, "port": str(trading_port)}
    wrapper.config = config
    os.environ[BASE_URL_ENV] = http_base_url


def address(text):
    """HOST:PORT of the command line -> (host, port)."""
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit():
        raise argparse.ArgumentTypeError("expected HOST:PORT, got {!r}".format(text))
    return host, int(port)


def holder(port):
    """The program that listens on TCP `port`, as ss reports it ("" when ss cannot tell)."""
    try:
        out = subprocess.run(["ss", "-Hltnp", "sport = :{}".format(port)], capture_output=True, text=True,
                             timeout=5).stdout
    except (OSError, subprocess.SubprocessError):
        return ""
    found = re.findall(r'\("([^"]*)",pid=(\d+)', out)
    return ", ".join("{} (pid {})".format(name, pid) for name, pid in dict.fromkeys(found))


def cannot_listen(server, at, section, exc):
    """The message for a server that cannot listen on `at`; for an address in use, with a hint."""
    host, port = at
    reason = os.strerror(exc.errno) if exc.errno else str(exc)
    text = "cannot listen on {}:{} ({} server): {}".format(host, port, server, reason)
    if exc.errno != errno.EADDRINUSE:
        return text
    if server == "trading":
        where = "the [{}] host and port of {}".format(section, os.path.relpath(CONFIG, ROOT))
    else:
        where = ("the HTTP client's base URL {}: DORVANE_HTTP_BASE_URL when set, else SIMULATION_BASE_URL"
                 " or PRODUCTION_BASE_URL of dorvane/backend/http/client.py".format(base_url(section == "UAT")))
    who = holder(port)
    return "\n".join([
        text,
        "  {}:{} is held by {} (ss -ltnp 'sport = :{}' shows it): end that program, or".format(
            host, port, who or "another program", port),
        "  run the servers on other ports (0: any free one), the tour of make run for instance:",
        "    /usr/bin/python3 tools/local_servers.py --trading 127.0.0.1:0 --http 127.0.0.1:0"
        " --run examples/trading_tour.py",
        "  The configured address is {}.".format(where)])


class LocalServers:
    """Both servers on threads of their own: `with LocalServers() as servers: ...`. `trading` and
    `http` replace the configured (host, port) of one server (port 0: any free port); the HTTP
    back end keeps the configured path prefix."""

    def __init__(self, section="UAT", trading=None, http=None):
        self.section = section
        self._trading_at = trading or trading_address(section)
        host, port, self.prefix = http_address(section)
        self._http_at = http or (host, port)

    def start(self):
        self.trading = ThreadedTradingServer(*self._trading_at)
        try:
            self.trading.start()
        except OSError as exc:
            raise SystemExit(cannot_listen("trading", self._trading_at, self.section, exc))
        self.session = self.trading.run(SessionService, self.trading.server)
        try:
            self.http = HttpBackend(*self._http_at)
        except OSError as exc:
            self.trading.stop()
            raise SystemExit(cannot_listen("http", self._http_at, self.section, exc))
        self.broker = LocalBroker(self.http, prefix=self.prefix)
        return self

    @property
    def http_base_url(self):
        return self.http.base_url + self.prefix

    def point_library_here(self):
        """Points the library in this process at these servers (for servers on other than the
        configured addresses): the socket facade's configuration, both sections, and the HTTP
        clients' base URL (DORVANE_HTTP_BASE_URL) for the clients made from now on."""
        point_library_at(self.trading.host, self.trading.port, self.http_base_url)

    def at_configured_addresses(self):
        """True when both servers listen where the section's configuration says."""
        host, port, _ = http_address(self.section)
        return ((self.trading.host, self.trading.port) == trading_address(self.section)
                and (self.http.host, self.http.port) == (host, port))

    def stop(self):
        self.http.close()
        self.trading.stop()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--section", default="UAT", help="config.ini section (default UAT)")
    parser.add_argument("--trading", type=address, metavar="HOST:PORT",
                        help="trading server address (default: the section's host and port of config.ini)")
    parser.add_argument("--http", type=address, metavar="HOST:PORT",
                        help="HTTP back end address (default: that of the HTTP client's base URL)")
    parser.add_argument("--run", metavar="PROGRAM", help="run PROGRAM while the servers serve")
    args = parser.parse_args(argv)
    with LocalServers(args.section, trading=args.trading, http=args.http) as servers:
        if args.run:
            command = [sys.executable, args.run]
            if not servers.at_configured_addresses():
                command[1:1] = [os.path.join(ROOT, "tools", "point_run.py"), servers.trading.host,
                                str(servers.trading.port), servers.http_base_url]
            return subprocess.call(command, cwd=ROOT)
        print("READY trading {}:{} http {}".format(servers.trading.host, servers.trading.port, servers.http_base_url),
              flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
