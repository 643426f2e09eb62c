"""Cost of the glue's reference release beside the interpreter's own inline release.

Compiles bench/release_cost.cpp against Debian's CPython 3.11 (embedded) into a temporary folder
and runs it:

    /usr/bin/python3 bench/release_cost.py
"""
import os
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def main():
    include = sysconfig.get_paths()["include"]
    libdir = sysconfig.get_config_var("LIBDIR")
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "release_cost")
        subprocess.check_call(["g++", "-O2", "-std=c++17", "-I", include, "-I", os.path.join(ROOT, "include"),
                               os.path.join(HERE, "release_cost.cpp"), "-o", exe, "-L", libdir,
                               "-lpython3.11"])
        return subprocess.call([exe])


if __name__ == "__main__":
    sys.exit(main())
