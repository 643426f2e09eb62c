"""Minimal local layer of the library module dorvane.backend.socket.protocol.stock.kivo: the stock order request and reply structures `KIVO_STOCK_IN` and `KIVO_STOCK_OUT`.

Layouts chosen here. Every field is code-page-950 (Big5) text of a fixed width, NUL-padded on the
right (PS950): text longer than its field, or a value that is not text, is refused by `build`.

Request body (`KIVO_STOCK_IN["struct"]`, 123 bytes), wire order:

    trade_type 2, account 12, password 16, stock_id 6, ord_type 1, ord_cond 1, market_id 1,
    price 12, quantity 4, seqno 6, ordno 6, ord_bs 1, price_type 1, total_amount 12,
    is_preorder 1, web_id 3, bts_ord_flag 1, force_flag 1, async_ 1, form_no 4, fun_seq 6,
    first_sell 1, total_buy_amount 12, total_sell_amount 12

Reply body (`KIVO_STOCK_OUT["struct"]`, 100 bytes): seqno 6, ordno 6, ord_date 8 (YYYYMMDD),
ord_time 6 (HHMMSS), err_code 4 ("0000" when the order was accepted), err_msg 70.

Request code of a stock order: 0x6F (111), carried as `KIVO_STOCK_IN["kivo"]`; the reply carries the
same code (`KIVO_STOCK_OUT["kivo"]`).
"""
from dorv import Struct

from dorvane.backend.socket.protocol.utils import PS950

__all__ = ["KIVO_STOCK_IN", "KIVO_STOCK_OUT", "STOCK_ORDER"]

STOCK_ORDER = 0x6F

_REQUEST = Struct(
    trade_type=PS950(2),
    account=PS950(12),
    password=PS950(16),
    stock_id=PS950(6),
    ord_type=PS950(1),
    ord_cond=PS950(1),
    market_id=PS950(1),
    price=PS950(12),
    quantity=PS950(4),
    seqno=PS950(6),
    ordno=PS950(6),
    ord_bs=PS950(1),
    price_type=PS950(1),
    total_amount=PS950(12),
    is_preorder=PS950(1),
    web_id=PS950(3),
    bts_ord_flag=PS950(1),
    force_flag=PS950(1),
    async_=PS950(1),
    form_no=PS950(4),
    fun_seq=PS950(6),
    first_sell=PS950(1),
    total_buy_amount=PS950(12),
    total_sell_amount=PS950(12),
)

_REPLY = Struct(
    seqno=PS950(6),
    ordno=PS950(6),
    ord_date=PS950(8),
    ord_time=PS950(6),
    err_code=PS950(4),
    err_msg=PS950(70),
)

KIVO_STOCK_IN = {"kivo": STOCK_ORDER, "struct": _REQUEST}
KIVO_STOCK_OUT = {"kivo": STOCK_ORDER, "struct": _REPLY}
