"""The local back end's product catalogue: stocks, indexes, futures and options, generated
deterministically (a fixed seed), with the delivery months counted from a given month.

    catalogue = Catalogue(today=datetime.date(2026, 12, 10))
    catalogue.stocks        # [{"exchange", "code", "name", "industry"}, ...]        (stock list)
    catalogue.indexes       # {code: name}                                           (index list)
    catalogue.futures       # {product: [{"ename", "deliverymonth", "code", ...}]}  (futures list)
    catalogue.options       # {product: [{"category", "deliverymonth", "poc", ...}]} (option list)
    catalogue.product(code) # the futures or option entry of a code, or None
    catalogue.reference_price(code)

The entries carry the fields of the back end's product lists. Futures and option codes follow the
exchange's month letters: a future is product + month letter (A to L) + the year's last digit; an
option is product + strike + month letter (calls A to L, puts M to X) + the year's last digit.
The same `today` and seed always give the same catalogue; the counts do not depend on `today`.
"""
import datetime
import random

__all__ = ["Catalogue"]

SEED = 20240102
TSE_STOCKS = 980
OTC_STOCKS = 820
# Characters of the generated company names (all in code page 950).
NAME_CHARS = "台華國聯光電積機化鋼塑泰新興宏達億富遠東中信合益大成永豐群創友晶元鴻海建設航運食品紡織金控"
INDUSTRIES = ["{:02d}".format(i) for i in range(1, 31)]

# Index futures and options: product, underlying kind, name, contract size, reference price;
# options also the strike step and the strikes on each side of the reference price.
INDEX_FUTURES = [("TXF", "I", "臺股期貨", 200, 22800.0), ("MXF", "I", "小型臺指", 50, 22800.0),
                 ("TEF", "I", "電子期貨", 4000, 1150.0), ("TFF", "I", "金融期貨", 1000, 1820.0)]
INDEX_OPTIONS = [("TXO", "I", "臺指選擇權", 50, 22800.0, 100, 40), ("TEO", "I", "電子選擇權", 4000, 1150.0, 5, 10),
                 ("TFO", "I", "金融選擇權", 1000, 1820.0, 10, 10)]
STOCK_FUTURE_PRODUCTS = 120
STOCK_OPTION_PRODUCTS = 24
FUTURE_MONTHS = 5  # the three nearest months and the two following quarter months
OPTION_MONTHS = 3


def _month_letters(call):
    return "ABCDEFGHIJKL" if call else "MNOPQRSTUVWX"


def _delivery_months(today, count):
    """The `count` delivery months from today's: the three nearest, then quarter months."""
    year, month = today.year, today.month
    months = []
    while len(months) < count:
        if len(months) < 3 or month % 3 == 0:
            months.append((year, month))
        month += 1
        if month > 12:
            year, month = year + 1, 1
    return months


def _strike_text(strike):
    return "{:.1f}".format(strike)


class Catalogue:
    """The generated product lists (see the module text)."""

    def __init__(self, today=None, seed=SEED):
        self.today = today or datetime.date.today()
        rng = random.Random(seed)
        self._prices = {}
        self._products = {}
        self.stocks = self._make_stocks(rng)
        self.indexes = self._make_indexes()
        self.futures = self._make_futures(rng)
        self.options = self._make_options(rng)

    # Stocks and indexes -------------------------------------------------------------------------
    def _make_stocks(self, rng):
        stocks = []
        # Codes are drawn from disjoint ranges: a stock code names one stock on one exchange.
        for exchange, first, count in (("TSE", 1101, TSE_STOCKS), ("OTC", 1101 + TSE_STOCKS * 4 + 4, OTC_STOCKS)):
            codes = sorted(rng.sample(range(first, first + count * 4), count))
            for number in codes:
                code = str(number)
                name = "".join(rng.choice(NAME_CHARS) for _ in range(rng.randint(2, 4)))
                stocks.append({"exchange": exchange, "code": code, "name": name,
                               "industry": rng.choice(INDUSTRIES)})
                self._prices[code] = round(rng.uniform(10, 900), 1)
        return stocks

    def _make_indexes(self):
        indexes = {"001": "發行量加權股價指數", "101": "櫃買指數"}
        for number in range(2, 41):
            indexes["0{:02d}".format(number)] = "類股指數{:02d}".format(number)
        for number in range(2, 21):
            indexes["1{:02d}".format(number)] = "櫃買類股指數{:02d}".format(number)
        return indexes

    # Futures and options ------------------------------------------------------------------------
    def _stock_products(self, rng, count, suffix):
        """Stock futures or options on `count` TSE stocks: (product, stock code, name, price)."""
        picks = rng.sample([s for s in self.stocks if s["exchange"] == "TSE"], count)
        products = []
        for number, stock in enumerate(picks):
            product = "{}{}{}".format(chr(ord("A") + number // 26 % 26), chr(ord("A") + number % 26), suffix)
            products.append((product, stock["code"], stock["name"], self._prices[stock["code"]]))
        return products

    def _make_futures(self, rng):
        futures = {}
        products = [(p, kind, name, size, price, "") for p, kind, name, size, price in INDEX_FUTURES]
        products += [(p, "S", name + "期貨", 2000, price, code)
                     for p, code, name, price in self._stock_products(rng, STOCK_FUTURE_PRODUCTS, "F")]
        for product, kind, name, size, price, underlying in products:
            entries = []
            for year, month in _delivery_months(self.today, FUTURE_MONTHS):
                code = "{}{}{}".format(product, _month_letters(True)[month - 1], year % 10)
                entries.append({"ename": product, "deliverymonth": "{}{:02d}".format(year, month), "code": code,
                                "csname": "{}{:02d}".format(name, month), "category": product, "prod_kind": kind,
                                "ostock": underlying, "basic": str(size)})
                self._prices[code] = price
                self._products[code] = entries[-1]
            futures[product] = entries
        return futures

    def _make_options(self, rng):
        options = {}
        products = [item + ("",) for item in INDEX_OPTIONS]
        for product, code, name, price in self._stock_products(rng, STOCK_OPTION_PRODUCTS, "O"):
            step = 0.5 if price < 50 else 2.5 if price < 200 else 10.0
            products.append((product, "S", name + "選擇權", 2000, price, step, 5, code))
        for product, kind, name, size, price, step, wings, underlying in products:
            centre = round(price / step) * step
            entries = []
            for year, month in _delivery_months(self.today, OPTION_MONTHS):
                for k in range(-wings, wings + 1):
                    strike = centre + k * step
                    for poc, call in (("C", True), ("P", False)):
                        code = "{}{}{}{}".format(product, int(strike * 10) if step < 1 else int(strike),
                                                 _month_letters(call)[month - 1], year % 10)
                        entries.append({"category": product, "deliverymonth": "{}{:02d}".format(year, month),
                                        "poc": poc, "eprice": _strike_text(strike), "code": code,
                                        "csname": "{}{:02d}{}{}".format(name, month, "買權" if call else "賣權",
                                                                        _strike_text(strike)),
                                        "prod_kind": kind, "ostock": underlying, "basic": str(size)})
                        intrinsic = max(0.0, price - strike) if call else max(0.0, strike - price)
                        self._prices[code] = round(intrinsic + step * 0.8, 1)
                        self._products[code] = entries[-1]
            options[product] = entries
        return options

    # Look-ups -----------------------------------------------------------------------------------
    def product(self, code):
        """The futures or option entry of `code`, or None."""
        return self._products.get(code)

    def reference_price(self, code):
        """The price at which the local market deals `code` (0.0 for an unknown code)."""
        return self._prices.get(code, 0.0)

    def counts(self):
        """Number of products per list: {"I", "S", "F", "O"}."""
        return {"I": len(self.indexes), "S": len(self.stocks),
                "F": sum(len(v) for v in self.futures.values()),
                "O": sum(len(v) for v in self.options.values())}
