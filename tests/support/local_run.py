"""Runs a program against the bundled local servers started on free ports, so that tests running
in parallel do not meet on the configured ones:

    /usr/bin/python3 tests/support/local_run.py PROGRAM.py

The servers are those of tools/local_servers.py; the socket facade's configuration and the HTTP
client's base URL (DORVANE_HTTP_BASE_URL) are pointed at them before PROGRAM runs as __main__ in
this interpreter. Exits with PROGRAM's exit status.
"""
import os
import runpy
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tools")]

from local_servers import LocalServers  # noqa: E402


def main(program):
    with LocalServers(trading=("127.0.0.1", 0), http=("127.0.0.1", 0)) as servers:
        servers.point_library_here()
        sys.argv = [program]
        try:
            runpy.run_path(program, run_name="__main__")
        except SystemExit as exc:
            return exc.code
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
