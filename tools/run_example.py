#!/usr/bin/python3
"""The main job of `make run`: start the bundled local servers and run the trading tour against them."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    example = os.path.join(ROOT, "examples", "trading_tour.py")
    servers = os.path.join(ROOT, "tools", "local_servers.py")
    return subprocess.call([sys.executable, servers, "--run", example], cwd=ROOT)


if __name__ == "__main__":
    sys.exit(main())
