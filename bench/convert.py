"""Option entries into contract records: the C++ option_dict_convert against plain-Python ones.

Two plain-Python converters, both from the same record table and steps: the literal one fills the
symbol by named-field formatting from a copy of the entry whose price is trimmed, as the table
words it; the well-written one reads each field once and fills the symbol with an f-string (the
same format(value, "") per placeholder), grouping by product name with the group kept at hand.
All run on the same entries with the interpreter's collector on; their results are first compared
for equality (groups, values, key order and value types), then each is timed in CPU time,
interleaved, over rounds (min and median). The memory of a record (its dict, symbol and unit, and
its slot in the group list) is measured with tracemalloc, per record.

    /usr/bin/python3 bench/convert.py [--entries 100000 1000000] [--rounds 7]
"""
import argparse
import gc
import os
import statistics
import sys
import time
import tracemalloc

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


def py_option_dict_convert_well_written(contracts):
    result = {}
    for product, entries in contracts.items():
        group = None
        for e in entries:
            shown = e.get("eprice", "")
            if shown.endswith(".0"):
                shown = shown.rstrip("0").rstrip(".")
            category = e["category"]
            month = e["deliverymonth"]
            poc = e["poc"]
            record = {"symbol": f"{category}{month}{poc}{shown}", "security_type": "OPT", "currency": "TWD",
                      "exchange": "TAIFEX", "code": e["code"], "name": e["csname"], "category": category,
                      "delivery_month": month, "strike_price": e["eprice"], "option_right": poc,
                      "underlying_kind": e["prod_kind"], "underlying_code": e["ostock"], "unit": float(e["basic"]),
                      "multiplier": 0}
            if group is None:
                group = result[product] = []
            group.append(record)
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


CONVERTERS = {"C++": option_dict_convert, "Python (well written)": py_option_dict_convert_well_written,
              "Python (literal)": py_option_dict_convert}


def cpu_seconds(fn, data):
    t0 = time.process_time()
    result = fn(data)
    spent = time.process_time() - t0
    del result
    return spent


def bytes_per_record(fn, data, count):
    gc.collect()
    tracemalloc.start()
    try:
        result = fn(data)
        held = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    del result
    return held / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    gc.enable()
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    for count in args.entries:
        data = option_list(count)
        results = [fn(data) for fn in CONVERTERS.values()]
        if not all(same(results[0], other) for other in results[1:]):
            raise SystemExit("the converters disagree")
        del results
        spent = {name: [] for name in CONVERTERS}
        for _ in range(args.rounds):
            for name, fn in CONVERTERS.items():
                spent[name].append(cpu_seconds(fn, data))
        print("%d option entries, collector on, CPU time over %d rounds (min / median)" % (count, args.rounds))
        for name, times in spent.items():
            print("  %-22s %8.1f / %8.1f ms  (%.3f / %.3f us per entry)  %6.0f B per record" % (
                name, min(times) * 1e3, statistics.median(times) * 1e3, min(times) * 1e6 / count,
                statistics.median(times) * 1e6 / count, bytes_per_record(CONVERTERS[name], data, count)))
        cpp = spent["C++"]
        for name in list(CONVERTERS)[1:]:
            print("  %s / C++ = %.2f / %.2f" % (name, min(spent[name]) / min(cpp),
                                                 statistics.median(spent[name]) / statistics.median(cpp)))
        del data
    print("goals: well-written Python / C++ >= 3.0 at 100k and >= 2.5 at 1M entries; C++ record no larger")
    print("load average: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
