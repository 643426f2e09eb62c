"""Option entries into contract records: the C++ option_dict_convert against a plain-Python one.

The plain-Python converter is written from the same record table and steps (records built key by
key into dictionaries, the symbol filled by named-field formatting from a copy of the entry whose
price is trimmed, grouped by product name). Both run on the same 100,000 entries with the
interpreter's collector on; their results are first compared for equality (groups, values, key
order and value types), then each is timed, interleaved, best of several rounds.

    /usr/bin/python3 bench/convert.py [--entries 100000] [--rounds 7]
"""
import argparse
import gc
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from dorvane.backend.http.contract import option_dict_convert  # noqa: E402

SYMBOL = "{category}{deliverymonth}{poc}{eprice}"


def py_option_dict_convert(contracts):
    result = {}
    for product, entries in contracts.items():
        for entry in entries:
            eprice = entry.get("eprice", "")
            if eprice.endswith(".0"):
                eprice = eprice.rstrip("0").rstrip(".")
            fields = dict(entry)
            fields["eprice"] = eprice
            record = {
                "symbol": SYMBOL.format(**fields),
                "security_type": "OPT",
                "currency": "TWD",
                "exchange": "TAIFEX",
                "code": entry["code"],
                "name": entry["csname"],
                "category": entry["category"],
                "delivery_month": entry["deliverymonth"],
                "strike_price": entry["eprice"],
                "option_right": entry["poc"],
                "underlying_kind": entry["prod_kind"],
                "underlying_code": entry["ostock"],
                "unit": float(entry["basic"]),
                "multiplier": 0,
            }
            result.setdefault(product, []).append(record)
    return result


def option_list(count):
    """`count` option entries over 40 products, as the product list's JSON decodes them."""
    products = {}
    per = max(1, count // 40)
    made = 0
    p = 0
    while made < count:
        category = "T%cO" % (ord("A") + p % 26) if p else "TXO"
        entries = products.setdefault("%s%d" % (category, p), [])
        for i in range(min(per, count - made)):
            strike = 8000 + 50 * (i % 400) + (0.5 if i % 7 == 0 else 0)
            month = "2026%02d" % (1 + i % 12)
            poc = "C" if i % 2 else "P"
            entries.append({
                "code": "%s%05d%s" % (category, int(strike), "ABCDEFGHIJKL"[i % 12]),
                "csname": "臺指選擇權%s" % month,
                "ename": "TAIEX Options",
                "category": category,
                "deliverymonth": month,
                "poc": poc,
                "eprice": "%.1f" % strike if i % 5 else "%.2f" % strike,
                "prod_kind": "I",
                "ostock": "#001",
                "basic": "50" if i % 3 else 50,
                "status": "0",
            })
            made += 1
        p += 1
    return products


def same(a, b):
    """Equal groups in equal order, records with equal keys in equal order and equal-typed values."""
    if list(a) != list(b):
        return False
    for key in a:
        if len(a[key]) != len(b[key]):
            return False
        for x, y in zip(a[key], b[key]):
            if list(x.items()) != list(y.items()) or [type(v) for v in x.values()] != [type(v) for v in y.values()]:
                return False
    return True


def timed(fn, data):
    t0 = time.perf_counter()
    result = fn(data)
    spent = time.perf_counter() - t0
    del result
    return spent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    gc.enable()
    data = option_list(args.entries)
    if not same(option_dict_convert(data), py_option_dict_convert(data)):
        raise SystemExit("the two converters disagree")
    best = {"C++": float("inf"), "Python": float("inf")}
    for _ in range(args.rounds):
        best["C++"] = min(best["C++"], timed(option_dict_convert, data))
        best["Python"] = min(best["Python"], timed(py_option_dict_convert, data))
    print("%d option entries into contract records, collector on, best of %d rounds" % (args.entries, args.rounds))
    for name, spent in best.items():
        print("%-8s %8.1f ms  (%.2f us per entry)" % (name, spent * 1e3, spent * 1e6 / args.entries))
    print("Python / C++ = %.2f  (goal >= 2.0)" % (best["Python"] / best["C++"]))


if __name__ == "__main__":
    main()
