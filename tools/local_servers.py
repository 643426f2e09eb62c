"""Run the bundled local servers on the addresses that the library's configuration names.

    python3 tools/local_servers.py                  serve until interrupted (prints "READY ...")
    python3 tools/local_servers.py --run PROGRAM    serve while PROGRAM runs with this interpreter,
                                                    then stop; exits with PROGRAM's return code
    python3 tools/local_servers.py --section PRODUCTION ...   the addresses of the other environment

Two servers (servers/):
- the loopback trading server, on the host and port of the section of
  dorvane/backend/socket/config.ini: it speaks the real framing and answers logins and logouts;
- the local broker's HTTP back end, at the base URL of the HTTP session client for the section
  (UAT: simulation, PRODUCTION: production; DORVANE_HTTP_BASE_URL replaces both): login, the four
  product lists, futures and option orders and the six account queries.
The quote service needs no process: it runs inside the program that uses the messaging binding
(quillmesh.solclient), with its local feed.
"""
import argparse
import configparser
import os
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
            raise SystemExit("cannot listen on {}:{}: {}".format(self._trading_at[0], self._trading_at[1], exc))
        self.session = self.trading.run(SessionService, self.trading.server)
        try:
            self.http = HttpBackend(*self._http_at)
        except OSError as exc:
            self.trading.stop()
            raise SystemExit("cannot listen on {}:{}: {}".format(self._http_at[0], self._http_at[1], exc))
        self.broker = LocalBroker(self.http, prefix=self.prefix)
        return self

    @property
    def http_base_url(self):
        return self.http.base_url + self.prefix

    def point_library_here(self):
        """Points the library in this process at these servers (for servers on other than the
        configured addresses): the socket facade's configuration, both sections, and the HTTP
        clients' base URL (DORVANE_HTTP_BASE_URL) for the clients made from now on."""
        from dorvane.backend.http.client import BASE_URL_ENV
        from dorvane.backend.socket import wrapper

        config = configparser.ConfigParser()
        for section in ("UAT", "PRODUCTION"):
            config[section] = {"host": self.trading.host, "port": str(self.trading.port)}
        wrapper.config = config
        os.environ[BASE_URL_ENV] = self.http_base_url

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
    parser.add_argument("--run", metavar="PROGRAM", help="run PROGRAM while the servers serve")
    args = parser.parse_args(argv)
    with LocalServers(args.section) as servers:
        if args.run:
            return subprocess.call([sys.executable, args.run], cwd=ROOT)
        print("READY trading {}:{} http {}".format(servers.trading.host, servers.trading.port, servers.http_base_url),
              flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
