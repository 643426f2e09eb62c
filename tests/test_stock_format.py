"""Price and quantity text of stock order bodies, their bounds, and the bounds under `python -O`."""
import os
import random
import subprocess
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction

import pytest

from dorvane.backend.socket.protocol.stock import handler


@pytest.mark.parametrize("price, text", [
    (0, "000000"),
    (0.0, "000000"),
    (12.5, "001250"),
    ("12.5", "001250"),
    (1000000, "100000000"),
    (1000000.0, "100000000"),
    (9999.999, "1000000"),
    (0.125, "000012"),  # ties to even
    (0.375, "000038"),
    (580, "058000"),
    (True, "000100"),
    (Decimal("12.5"), "001250"),
    (Fraction(1, 8), "000012"),
])
def test_format_price(price, text):
    assert handler._format_price(price) == text


# One rule for every type: the price is judged as the float it converts to, and refused when its
# text would carry a minus sign, a negative zero and values whose float is one included.
@pytest.mark.parametrize("price", [
    1000000.01, 1000000.004, 2000000, -0.01, -3.5, -1, float("nan"), float("inf"), float("-inf"),
    "nan", "-inf", -0.0, "-0", "-1e-400", Decimal("-0"), Decimal("-1e-400"), Decimal("-0.001"),
    Fraction(-1, 10 ** 400), Fraction(-1, 1000), Decimal("1000000.01"),
])
def test_format_price_out_of_bounds(price):
    with pytest.raises(AssertionError) as info:
        handler._format_price(price)
    assert info.value.args == ()


@pytest.mark.parametrize("price, error", [
    (None, TypeError), ("abc", ValueError), ([], TypeError), (10 ** 400, OverflowError),
])
def test_format_price_not_a_number(price, error):
    with pytest.raises(error):
        handler._format_price(price)


def test_format_price_rounds_like_the_interpreter():
    rng = random.Random(20261210)
    values = [k / 8 for k in range(0, 4000)] + [k / 1000 for k in range(0, 3000)]
    values += [rng.uniform(0, 1000000) for _ in range(5000)]
    values += [round(rng.uniform(0, 100000), 3) for _ in range(5000)]
    for value in values:
        assert handler._format_price(value) == "{:07.02f}".format(value).replace(".", ""), value


@pytest.mark.parametrize("quantity, text", [
    (0, "000"), (5, "005"), (9999, "9999"), ("7", "007"), (12.9, "012"), (-0.0, "000"),
    (True, "001"),
    # One rule for every type: int() first (toward zero), then the bound on the integer.
    (-0.5, "000"), (Decimal("-0.5"), "000"), (Fraction(-1, 2), "000"), (Decimal("9999.9"), "9999"),
])
def test_format_quantity(quantity, text):
    assert handler._format_quantity(quantity) == text


@pytest.mark.parametrize("quantity", [10000, 12345, 10 ** 30, -1, -5, "-5", -1.5, Decimal("-1.5"),
                                      Fraction(-3, 2), 10000.5])
def test_format_quantity_out_of_bounds(quantity):
    with pytest.raises(AssertionError) as info:
        handler._format_quantity(quantity)
    assert info.value.args == ()


@pytest.mark.parametrize("quantity, error", [
    ("12.5", ValueError), (None, TypeError), ("", ValueError),
    # the interpreter's own int() errors, not a bound
    (float("nan"), ValueError), (float("inf"), OverflowError), (float("-inf"), OverflowError),
])
def test_format_quantity_not_an_integer(quantity, error):
    with pytest.raises(error):
        handler._format_quantity(quantity)


def test_doc_texts():
    assert handler._format_price.__doc__ == (
        "\n    Formatting float or int of price to string value with length 12.\n    ")
    assert handler._format_quantity.__doc__ == (
        "\n    Formatting int of quantity to string value with length 4.\n    ")




def test_bounds_hold_under_optimisation(tmp_path):
    script = tmp_path / "bounds.py"
    script.write_text(textwrap.dedent("""
        import sys
        from dorvane.backend.socket.protocol.stock import handler
        from dorvane.backend.constant import MarketType

        assert False, "not optimised"  # stripped by -O
        if sys.flags.optimize < 1:
            raise SystemExit("not optimised")

        cases = [
            (handler._format_price, 2000000), (handler._format_price, 1000000.01),
            (handler._format_price, -1), (handler._format_price, float("nan")),
            (handler._format_price, float("inf")), (handler._format_quantity, 12345),
            (handler._format_quantity, 10000), (handler._format_quantity, -1),
            (handler._format_quantity, "-5"), (handler._format_quantity, -1.5),
        ]
        refused = 0
        for formatter, value in cases:
            try:
                formatter(value)
            except AssertionError as exc:
                if exc.args == ():
                    refused += 1
        order = dict(vexa=b"", exchange=MarketType.TSE, person_id="A123456789",
                     account="9A95-1234567", stock_id="2330", order_type="Common",
                     order_cond="Cash", ord_bs="Buy", price_type="LimitPrice")
        for price, quantity in [(2000000, 1), (10, 12345), (-5, 1), (10, -2)]:
            try:
                handler.placeorder(price=price, quantity=quantity, **order)
            except AssertionError:
                refused += 1
        assert handler._format_price(1000000) == "100000000"
        assert handler._format_quantity(9999) == "9999"
        print(refused)
    """))
    result = subprocess.run([sys.executable, "-O", str(script)], capture_output=True, text=True,
                            cwd=str(tmp_path), timeout=60,
                            env=dict(os.environ, PYTHONPATH=handler.__file__.rsplit("/dorvane/", 1)[0]))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "14"


def test_price_text_ignores_a_comma_decimal_locale(comma_locale):
    # A program that takes the desktop's locale (LC_ALL) must still send "058050" for 580.5.
    result = comma_locale.run("""
        from dorvane.backend.socket.protocol.stock import handler, kivo
        _, payload = handler.order_in(b"SIG", trade_type="Buy", market_id="TSE", account="9A95-1234567",
                                    stock_id="2330", price=580.5, quantity=3)
        body = kivo.KIVO_STOCK_IN["struct"].parse(payload[3:])
        print(json.dumps({"texts": [handler._format_price(p) for p in (12.5, 0.125, 1000000, "99.99")],
                          "price": body.price, "quantity": body.quantity}))
    """)
    assert result == {"texts": ["001250", "000012", "100000000", "009999"], "price": "058050",
                      "quantity": "003"}
