"""Minimal local layer of the library module dorvane.order: orders, order statuses and trades of the trading model."""
import enum

__all__ = ["Status", "Order", "OrderStatus", "Trade"]


class Status(str, enum.Enum):
    """The state of an order. Members are text, so they compare equal to their names."""

    PendingSubmit = "PendingSubmit"
    PreSubmitted = "PreSubmitted"
    Submitted = "Submitted"
    Failed = "Failed"
    Cancelled = "Cancelled"
    Filled = "Filled"
    PartFilled = "PartFilled"


class Order:
    """A futures or option order. The option fields (`action`, `price_type`, `order_type`, `octype`)
    hold option values that the caller's option table turns into request codes; `account` is the
    account object the order goes to. The order number and sequence number are filled in by the
    reply parsing through `_ordno` and `_seqno`, and read back as `ordno` and `seqno`.

    An order is also a mapping of its fields (`dict(order)`, `**order`)."""

    _fields = ("action", "price_type", "order_type", "octype", "price", "quantity", "account",
               "ordno", "seqno")

    def __init__(self, action=None, price_type=None, order_type=None, price=0, quantity=0,
                 ordno="", seqno="", octype="", account=None):
        self.action = action
        self.price_type = price_type
        self.order_type = order_type
        self.octype = octype
        self.price = price
        self.quantity = quantity
        self.account = account
        self._ordno = ordno
        self._seqno = seqno

    @property
    def ordno(self):
        return self._ordno

    @property
    def seqno(self):
        return self._seqno

    def keys(self):
        return list(self._fields)

    def __getitem__(self, key):
        if key not in self._fields:
            raise KeyError(key)
        return getattr(self, key)

    def __repr__(self):
        return "Order({})".format(", ".join("{}={!r}".format(k, getattr(self, k)) for k in self._fields))


class OrderStatus:
    """The state of one order: its id, when it was placed and its `Status`, plus the fields the
    order query writes (`_status_code`, `_msg`, the deal and cancel figures, the modified price)."""

    def __init__(self, order_id, order_datetime=None, status=Status.PendingSubmit):
        self.order_id = order_id
        self.order_datetime = order_datetime
        self.status = status
        self._status_code = ""
        self._msg = ""
        self._deal_quantity = 0
        self._deal_amount = 0
        self._avg_deal_price = 0
        self._cancel_quantity = 0
        self._modified_price = 0

    status_code = property(lambda self: self._status_code)
    msg = property(lambda self: self._msg)
    deal_quantity = property(lambda self: self._deal_quantity)
    deal_amount = property(lambda self: self._deal_amount)
    avg_deal_price = property(lambda self: self._avg_deal_price)
    cancel_quantity = property(lambda self: self._cancel_quantity)
    modified_price = property(lambda self: self._modified_price)

    def __repr__(self):
        return "OrderStatus(order_id={!r}, order_datetime={!r}, status={!r})".format(
            self.order_id, self.order_datetime, self.status)


class Trade:
    """A contract, its order and the order's status."""

    def __init__(self, contract, order, status):
        self.contract = contract
        self.order = order
        self.status = status
        self.remain_quantity = None

    def calculate_remain(self):
        """The quantity still open: ordered minus dealt minus cancelled."""
        st = self.status
        self.remain_quantity = (self.order.quantity or 0) - (st._deal_quantity or 0) - (st._cancel_quantity or 0)
        return self.remain_quantity

    def fupdate_status(self):
        """Derives the `Status` from the figures that the order query wrote: a non-empty status code
        other than "0000" fails the order; otherwise nothing left open means filled (or cancelled
        when something was cancelled), a partial deal means part-filled, and an order number
        means submitted."""
        st = self.status
        if self.remain_quantity is None:
            self.calculate_remain()
        code = st._status_code
        if code not in ("", "0000", "0", None):
            st.status = Status.Failed
        elif self.remain_quantity is not None and self.remain_quantity <= 0 and (self.order.quantity or 0) > 0:
            st.status = Status.Cancelled if st._cancel_quantity else Status.Filled
        elif st._deal_quantity:
            st.status = Status.PartFilled
        elif self.order.ordno:
            st.status = Status.Submitted
        return st.status

    def __repr__(self):
        return "Trade(contract={!r}, order={!r}, status={!r})".format(self.contract, self.order, self.status)
