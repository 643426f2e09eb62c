"""A glue function called with keywords against a `def` of the same signature and body.

The glue function is the protocol core's gen_header (twelve parameters with defaults, a new
thirteen-field dictionary per call, ip4 converted through the module's ip_convert). The `def` has
the same parameter list and builds the same dictionary through the same ip_convert. Each is called
with all twelve arguments by keyword, then with none, and with four by position; both are timed
interleaved in CPU time over rounds, and the results are first compared for equality.

    /usr/bin/python3 bench/call.py [--calls 200000] [--rounds 9]
"""
import argparse
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from dorvane.backend.socket.protocol import core  # noqa: E402
from dorvane.backend.socket.protocol.utils import ip_convert  # noqa: E402


def gen_header(net_length=0, bEncrypt=0, bCompress=0, bContinue=0, bHts=1, nDecompressLength=0, nKIVO=0,
               nHandle=666, ip4="", person_id="", nDecodeLength=0, nOutHandle=105):
    return {"net_length": net_length, "bEncrypt": bEncrypt, "bCompress": bCompress, "bContinue": bContinue,
            "bHts": bHts, "nDecompressLength": nDecompressLength, "nKIVO": nKIVO, "nHandle": nHandle,
            "ip4": ip_convert(ip4), "person_id": person_id, "nDecodeLength": nDecodeLength,
            "nOutHandle": nOutHandle, "ret": 0}


def twelve_keywords(fn, calls):
    for _ in range(calls):
        fn(net_length=48, bEncrypt=0, bCompress=1, bContinue=0, bHts=1, nDecompressLength=120, nKIVO=7,
           nHandle=3, ip4="127.0.0.1", person_id="A123456789", nDecodeLength=0, nOutHandle=105)


def no_arguments(fn, calls):
    for _ in range(calls):
        fn()


def positional_and_keywords(fn, calls):
    for _ in range(calls):
        fn(48, 0, 1, 0, nKIVO=7, ip4="127.0.0.1", person_id="A123456789")


CASES = [twelve_keywords, no_arguments, positional_and_keywords]


def cpu_ns_per_call(case, fn, calls):
    t0 = time.process_time_ns()
    case(fn, calls)
    return (time.process_time_ns() - t0) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    kwargs = dict(net_length=48, bCompress=1, nKIVO=7, ip4="127.0.0.1", person_id="A123456789")
    if core.gen_header(**kwargs) != gen_header(**kwargs) or core.gen_header() != gen_header():
        raise SystemExit("the two functions disagree")
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    print("CPU ns per call over %d rounds of %d calls (min / median)" % (args.rounds, args.calls))
    for case in CASES:
        spent = {"glue": [], "def": []}
        for _ in range(args.rounds):
            spent["glue"].append(cpu_ns_per_call(case, core.gen_header, args.calls))
            spent["def"].append(cpu_ns_per_call(case, gen_header, args.calls))
        glue, plain = spent["glue"], spent["def"]
        print("%-24s glue %6.0f / %6.0f   def %6.0f / %6.0f   glue/def %.2f / %.2f" % (
            case.__name__, min(glue), statistics.median(glue), min(plain), statistics.median(plain),
            min(glue) / min(plain), statistics.median(glue) / statistics.median(plain)))
    print("goal: glue/def <= 1.0 with twelve keywords")


if __name__ == "__main__":
    main()
