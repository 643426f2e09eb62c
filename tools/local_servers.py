"""Run the bundled local trading server on the address that the socket facade's config.ini names.

    python3 tools/local_servers.py                  serve until interrupted (prints "READY host:port")
    python3 tools/local_servers.py --run PROGRAM    serve while PROGRAM runs with this interpreter,
                                                    then stop; exits with PROGRAM's return code
    python3 tools/local_servers.py --section PRODUCTION ...   the address of another section

The server is the loopback trading server of servers/: it speaks the real framing
and answers logins and logouts. The quote broker needs no process: it runs inside the program that
uses the messaging binding (quillmesh.solclient).
"""
import argparse
import configparser
import os
import subprocess
import sys
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from servers.session_server import SessionService  # noqa: E402
from servers.trading_server import ThreadedTradingServer  # noqa: E402

CONFIG = os.path.join(ROOT, "dorvane", "backend", "socket", "config.ini")


def address(section="UAT"):
    """(host, port) of a section of the facade's config.ini."""
    config = configparser.ConfigParser()
    if not config.read(CONFIG):
        raise SystemExit("cannot read {}".format(CONFIG))
    return config.get(section, "host"), int(config.get(section, "port"))


class LocalServers:
    """The local trading server on its own thread: `with LocalServers() as servers: ...`."""

    def __init__(self, section="UAT"):
        host, port = address(section)
        self.trading = ThreadedTradingServer(host, port)

    def start(self):
        try:
            self.trading.start()
        except OSError as exc:
            raise SystemExit("cannot listen on {}:{}: {}".format(self.trading.host, self.trading.port, exc))
        self.session = self.trading.run(SessionService, self.trading.server)
        return self

    def stop(self):
        self.trading.stop()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--section", default="UAT", help="config.ini section (default UAT)")
    parser.add_argument("--run", metavar="PROGRAM", help="run PROGRAM while the server serves")
    args = parser.parse_args(argv)
    with LocalServers(args.section) as servers:
        print("READY {}:{}".format(servers.trading.host, servers.trading.port), flush=True)
        if args.run:
            return subprocess.call([sys.executable, args.run], cwd=ROOT)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
