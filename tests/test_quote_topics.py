"""Topic names of the quote-messaging service made by contract2topic."""
import pytest

from dorvane.backend.solace import quote
from dorvane.backend.solace.quote import contract2topic
from dorvane.contracts import Future, Index, Option, Stock
from support.stub_import import import_with_stub


class TickText(str):
    """A text subclass that compares equal to the tick constant."""


class EqualsAnything:
    def __eq__(self, other):
        return True


class FutureStock(Future, Stock):
    pass


@pytest.mark.parametrize(
    "contract, quote_type, topic",
    [
        (Future(code="TXFA0"), "tick", "L/*/TXFA0"),
        (Option(code="TXFA0"), "tick", "L/*/TXFA0"),
        (Future(code="TXFA0"), "bidask", "Q/*/TXFA0"),
        (Option(code="TXO17000A0"), "bidask", "Q/*/TXO17000A0"),
        (Stock(code="2330", exchange="TSE"), "tick", "MKT/*/TSE/2330"),
        (Stock(code="6488", exchange="OTC"), "bidask", "QUT/*/OTC/6488"),
        (Index(code="001", exchange="TSE"), "tick", "I/TSE/001"),
        (Index(code="101", exchange="OTC"), "bidask", "O/OTC/101"),
        # Levels are the values' text forms, unchanged: no trimming, case change or escaping.
        (Future(code="a/b*"), "tick", "L/*/a/b*"),
        (Stock(code=2330, exchange=" tse"), "tick", "MKT/*/ tse/2330"),
        # Multiple inheritance: the futures rule is tested first.
        (FutureStock(code="MXF", exchange="TSE"), "tick", "L/*/MXF"),
        # Equality, not identity, selects the quote type.
        (Stock(code="2330", exchange="TSE"), TickText("tick"), "MKT/*/TSE/2330"),
        (Index(code="001", exchange="TSE"), EqualsAnything(), "I/TSE/001"),
    ],
)
def test_topic_table(contract, quote_type, topic):
    assert contract2topic(contract, quote_type) == topic
    assert contract2topic(contract=contract, quote_type=quote_type) == topic


def test_default_quote_type_is_tick():
    stock = Stock(code="2330", exchange="TSE")
    assert contract2topic(stock) == "MKT/*/TSE/2330"


class Plain:
    def __repr__(self):
        return "<plain>"


def plain_with_code():
    obj = Plain()
    obj.code = "X"
    return obj


@pytest.mark.parametrize(
    "contract, quote_type, error, text",
    [
        (Future(code="TXF"), "depth", Exception, "Quote Type: depth not support."),
        # The quote type is refused before a stock's or an index's exchange is read.
        (Stock(code="2330"), "depth", Exception, "Quote Type: depth not support."),
        (Index(code="001"), None, Exception, "Quote Type: None not support."),
        # An unknown contract is refused before its quote type is looked at.
        (plain_with_code(), "depth", Exception, "Contract: <plain> not support."),
        # `code` is read first, whatever the contract is.
        (Plain(), "tick", AttributeError, None),
        (Stock(exchange="TSE"), "depth", AttributeError, None),
        # A stock or index without exchange fails once the quote type is accepted.
        (Stock(code="2330"), "tick", AttributeError, None),
        (Index(code="001"), "bidask", AttributeError, None),
    ],
)
def test_refused(contract, quote_type, error, text):
    with pytest.raises(error) as info:
        contract2topic(contract, quote_type)
    assert type(info.value) is error
    if text is not None:
        assert str(info.value) == text


def test_errors_of_the_comparison_reach_the_caller():
    class Broken:
        def __eq__(self, other):
            raise ValueError("no comparison")

    with pytest.raises(ValueError, match="no comparison"):
        contract2topic(Future(code="TXF"), Broken())


def test_names_are_read_at_each_call(monkeypatch):
    class Other:
        code = "Z"
        exchange = "E"

    monkeypatch.setattr(quote, "QUOTE_TYPE_TICK", "T")
    monkeypatch.setattr(quote, "Index", Other)
    assert contract2topic(Other(), "T") == "I/E/Z"
    with pytest.raises(Exception, match="Quote Type: tick not support."):
        contract2topic(Future(code="TXF"))



# A library module that lacks one of the names the quote module imports fails the quote module's
# import with the ImportError of that name, as `from ... import ...` does.
@pytest.mark.parametrize("module, present", [
    ("dorvane.constant", ["QUOTE_TYPE_TICK"]),
    ("dorvane.contracts", ["Stock", "Future", "Option"]),
])
def test_missing_import_name_fails_the_import(module, present):
    assert import_with_stub("dorvane.backend.solace.quote", module, present) == "ImportError %s True" % module
