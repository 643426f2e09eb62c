#!/usr/bin/python3
"""The main job: start the bundled local servers and run the example against them.

Until the example exists this prints the header bytes of a keep-alive request and the message of
a status code, which shows the protocol modules import and work.
"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)


def basic():
    from dorvane.backend.socket.protocol import HEADER, STATUS_CODE, gen_header

    header = gen_header(nKIVO=2, ip4="127.0.0.1", person_id="A123456789")
    print("keep-alive header:", HEADER.build(header).hex(" "))
    print("status 30023:", STATUS_CODE.code.get(30023))


def main():
    example = os.path.join(ROOT, "examples", "quote_login.py")
    servers = os.path.join(ROOT, "tools", "local_servers.py")
    if not (os.path.exists(example) and os.path.exists(servers)):
        basic()
        return 0
    return subprocess.call([sys.executable, servers, "--run", example], cwd=ROOT)


if __name__ == "__main__":
    sys.exit(main())
