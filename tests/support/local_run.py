"""Runs a program against the bundled local servers started on free ports, so that tests running
in parallel do not meet on the configured ones:

    /usr/bin/python3 tests/support/local_run.py PROGRAM.py

The servers are those of tools/local_servers.py; the socket facade's configuration and the HTTP
client's base URL (DORVANE_HTTP_BASE_URL) are pointed at them before PROGRAM runs as __main__ in
this interpreter (tools/point_run.py). Exits with PROGRAM's exit status.
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tools")]

import point_run  # noqa: E402
from local_servers import LocalServers  # noqa: E402


def main(program):
    with LocalServers(trading=("127.0.0.1", 0), http=("127.0.0.1", 0)) as servers:
        try:
            return point_run.main([servers.trading.host, str(servers.trading.port), servers.http_base_url, program])
        except SystemExit as exc:
            return exc.code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
