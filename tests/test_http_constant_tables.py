"""Code-table classes: MetaProps/BaseProps (keys, item access, text form) and Constant (two-way
translation between option values and codes)."""
import collections.abc

import pytest

import dorvane.backend.http.constant as constant_module
from dorvane.backend.http.constant import BaseProps, Constant, MetaProps


@pytest.fixture
def Side():
    class Side(BaseProps):
        Buy = "B"
        Sell = "S"
        _hidden = "H"
    return Side


def test_module_shape():
    assert [n for n in vars(constant_module) if not n.startswith("__")] == ["Constant", "MetaProps", "BaseProps"]
    assert MetaProps.__bases__ == (type,) and MetaProps.__doc__ is None
    assert [n for n in vars(MetaProps) if not n.startswith("__") or n in ("__repr__", "__getitem__")] == \
        ["__repr__", "keys", "__getitem__"]
    assert type(BaseProps) is MetaProps and BaseProps.__bases__ == (object,) and BaseProps.__doc__ is None
    assert type(Constant) is type and Constant.__bases__ == (object,) and Constant.__doc__ is None
    assert not hasattr(BaseProps(), "keys")


def test_base_props_is_empty():
    assert list(BaseProps.keys()) == []
    assert repr(BaseProps) == "BaseProps()"


def test_side_table(Side):
    assert list(Side.keys()) == ["Buy", "Sell"]
    assert repr(Side) == str(Side) == "Side(Buy, Sell)"
    assert (Side["Buy"], Side["_hidden"]) == ("B", "H")
    assert dict(Side) == {"Buy": "B", "Sell": "S"}
    assert (lambda **kw: kw)(**Side) == {"Buy": "B", "Sell": "S"}
    assert Side["keys"]().__next__() == "Buy"       # the metaclass's own operation


@pytest.mark.parametrize("key, error", [("Hold", AttributeError), (0, TypeError), (None, TypeError)])
def test_item_access_errors(Side, key, error):
    with pytest.raises(error):
        Side[key]


def test_no_other_mapping_operations(Side):
    with pytest.raises(TypeError):
        "Buy" in Side
    with pytest.raises(TypeError):
        iter(Side).__next__()
    with pytest.raises(TypeError):
        len(Side)


def test_private_class_name_and_no_public_names():
    _Side = MetaProps("_Side", (), {"Buy": "B", "Sell": "S"})
    Empty = MetaProps("Empty", (), {"_x": 1})
    assert repr(_Side) == "(Buy, Sell)"
    assert repr(Empty) == "Empty()"


def test_subclass_lists_only_own_names(Side):
    class More(Side):
        Hold = "H"
    assert list(More.keys()) == ["Hold"] and repr(More) == "More(Hold)"
    assert More["Buy"] == "B"


def test_keys_is_lazy_and_single_use(Side):
    early = Side.keys()
    Side.Late = "L"
    assert list(Side.keys()) == ["Buy", "Sell", "Late"] and repr(Side) == "Side(Buy, Sell, Late)"
    assert list(early) == ["Buy", "Sell", "Late"]
    assert list(early) == []
    assert isinstance(early, collections.abc.Generator) and Side.keys() is not Side.keys()


def test_keys_fails_when_class_changes_mid_way(Side):
    gen = Side.keys()
    assert next(gen) == "Buy"
    Side.Extra = 1
    with pytest.raises(RuntimeError, match="changed size"):
        next(gen)
    assert list(gen) == []


def test_keys_generator_protocol(Side):
    gen = Side.keys()
    with pytest.raises(TypeError):
        gen.send(1)
    assert gen.send(None) == "Buy"
    gen.close()
    assert list(gen) == []
    gen = Side.keys()
    with pytest.raises(KeyError):
        gen.throw(KeyError("x"))
    assert list(gen) == []


def test_public_keys_attribute_hides_operation():
    T = MetaProps("T", (), {"keys": "mine"})
    assert T.keys == "mine"


@pytest.fixture
def Ops():
    class Ops:
        Buy = "Buy"
        Sell = "Sell"
        _Odd = "_Odd"
    return Ops


def test_constant_translates_both_ways(Ops):
    class Codes(Constant):
        Buy = "B"
        Sell = None
        _Odd = "O"
    obj = Codes(Ops)
    assert vars(obj) == {"Buy": "B", "B": "Buy", "_Odd": "O", "O": "_Odd"}
    assert (Codes.Buy, Codes.Sell, Codes._Odd) == ("B", None, "O")
    assert vars(Codes(ops=Ops)) == vars(obj)


def test_plain_constant_and_undeclared_names(Ops):
    assert vars(Constant(Ops)) == {}

    class Partial(Constant):
        Buy = "B"
    assert vars(Partial(Ops)) == {"Buy": "B", "B": "Buy"}


def test_dunder_names_never_considered():
    ops = type("Ops", (), {"__custom__": "X"})

    class Codes(Constant):
        __custom__ = "C"
        __module__ = "m"
    assert vars(Codes(ops)) == {}


def test_empty_code_is_translated():
    class Codes(Constant):
        Buy = ""
    obj = Codes(type("Ops", (), {"Buy": "Long"}))
    assert vars(obj) == {"Long": "", "": "Long"}


def test_later_option_sees_earlier_instance_attribute():
    # Buy's code "Sell" is set as an instance attribute Sell -> "Buy" first; Sell's look-up then
    # finds that value rather than its class code.
    class Codes(Constant):
        Buy = "Sell"
        Sell = "S"
    ops = type("Ops", (), {"Buy": "Long", "Sell": "Short"})
    assert vars(Codes(ops)) == {"Long": "Short", "Sell": "Long", "Short": "Long"}


def test_instance_ops_contributes_only_instance_attributes(Ops):
    class Codes(Constant):
        Buy = "B"
        Sell = "S"
    inst = Ops()
    assert vars(Codes(inst)) == {}
    inst.Sell = "Short"
    assert vars(Codes(inst)) == {"Short": "S", "S": "Short"}


@pytest.mark.parametrize("make_args, message", [
    (lambda ops: (1,), "vars"),
    (lambda ops: (), "missing 1 required"),
    (lambda ops: (ops, ops), "positional"),
])
def test_constant_argument_errors(Ops, make_args, message):
    with pytest.raises(TypeError, match=message):
        Constant(*make_args(Ops))
    with pytest.raises(TypeError, match="unexpected keyword"):
        Constant(other=Ops)


def test_constant_non_text_value_or_code_fails():
    class Codes(Constant):
        Buy = "B"
        Sell = 5
    with pytest.raises(TypeError):
        Codes(type("Ops", (), {"Buy": 1}))
    obj_ops = type("Ops", (), {"Sell": "Short"})
    with pytest.raises(TypeError):
        Codes(obj_ops)


def test_constant_lookup_errors_other_than_missing_propagate():
    class Codes(Constant):
        @property
        def Buy(self):
            raise LookupError("boom")

        @property
        def Sell(self):
            raise AttributeError("treated as missing")
    with pytest.raises(LookupError, match="boom"):
        Codes(type("Ops", (), {"Sell": "Short", "Buy": "Long"}))
    assert vars(Codes(type("Ops", (), {"Sell": "Short"}))) == {}


def test_option_table_shape_for_order_functions():
    # A BaseProps table of Constant sub-tables answers keys() with field names and attribute look-up
    # in both directions on each sub-table.
    class ActionNames:
        Buy = "Buy"
        Sell = "Sell"

    class Action(Constant):
        Buy = "B"
        Sell = "S"

    class Table(BaseProps):
        action = Action(ActionNames)

    assert list(Table.keys()) == ["action"]
    assert Table.action.Buy == "B" and Table.action.S == "Sell"
    with pytest.raises(AttributeError):
        Table.action.Hold
