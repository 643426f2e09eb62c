#!/usr/bin/python3
"""Checks of the tree's shape that no test exercises: run by `make test` beside the format check.

    /usr/bin/python3 tools/lint.py        prints each finding; exits 1 when there is one

The checks:
  release    every built extension module imports the interpreter's finalisation test
             (_Py_IsFinalizing), which only the glue's reference release calls: a module built
             without include/pyglue_release.hpp would not (run after a build);
  includes   module sources reach Python and pybind11 through the glue only (no direct include of
             Python.h or pybind11/), so the glue's guard (an #error when pybind11 came first) holds
             in every translation unit even outside the build's forced include;
  unwind     a handler of abi::__forced_unwind binds a reference to no object, which the
             undefined-behaviour sanitizer reports whenever a daemon thread is ended inside the
             modules: only the glue's functions marked PYGLUE_LETS_FORCED_UNWIND_PASS (their head at
             the start of a line) hold one; everything else uses pyglue::on_failure.
"""
import glob
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def sources(*folders):
    return sorted(p for folder in folders for ext in ("cpp", "hpp", "h")
                  for p in glob.glob(os.path.join(ROOT, folder, "**", "*." + ext), recursive=True))


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def where(path, text=None, offset=0):
    line = "" if text is None else ":%d" % (text.count("\n", 0, offset) + 1)
    return os.path.relpath(path, ROOT) + line


def release():
    modules = glob.glob(os.path.join(ROOT, "dorvane", "**", "*.cpython-*.so"), recursive=True)
    if len(modules) < 15:
        yield "only %d extension modules built under dorvane/ (build first)" % len(modules)
    for path in sorted(modules):
        symbols = subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True, text=True,
                                 check=True).stdout
        if "_Py_IsFinalizing" not in symbols:
            yield where(path) + ": built without the glue's reference release"


def includes():
    direct = re.compile(r'^\s*#\s*include\s*[<"](Python\.h|pybind11/)', re.M)
    for path in sources("dorvane"):
        text = read(path)
        for found in direct.finditer(text):
            yield where(path, text, found.start()) + ": includes Python or pybind11 directly, not pyglue.hpp"


def unwind():
    handler = re.compile(r"catch\s*\(\s*(const\s+)?abi::__forced_unwind")
    head = re.compile(r"^\S[^;{}]*\)\s*\{\s*$", re.M)
    for path in sources("dorvane", "include"):
        text = read(path)
        for found in handler.finditer(text):
            heads = head.findall(text, 0, found.start())
            if not heads or "PYGLUE_LETS_FORCED_UNWIND_PASS" not in heads[-1]:
                yield where(path, text, found.start()) + ": forced-unwind handler in an unmarked function"


CHECKS = {"release": release, "includes": includes, "unwind": unwind}


def main():
    findings = [(name, f) for name, check in CHECKS.items() for f in check()]
    for name, finding in findings:
        print("lint %s: %s" % (name, finding))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
