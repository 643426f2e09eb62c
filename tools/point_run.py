"""Runs a program pointed at a trading server and an HTTP back end other than the configured ones:

    /usr/bin/python3 tools/point_run.py TRADING_HOST TRADING_PORT HTTP_BASE_URL PROGRAM.py [ARGS...]

The socket facade's configuration (both sections) and the HTTP clients' base URL
(DORVANE_HTTP_BASE_URL) are pointed there, then PROGRAM runs as __main__ in this interpreter.
tools/local_servers.py --run uses it when its servers listen elsewhere than configured. Exits with
PROGRAM's exit status. Unlike a program started on its own, PROGRAM's globals are released when
its code ends (runpy's way), so a socket facade that it still holds is deleted then.
"""
import os
import runpy
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tools")]

from local_servers import point_library_at  # noqa: E402


def main(argv):
    host, port, base_url, program = argv[:4]
    point_library_at(host, int(port), base_url)
    sys.argv = argv[3:]
    sys.path.insert(0, os.path.dirname(os.path.abspath(program)))
    runpy.run_path(program, run_name="__main__")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
