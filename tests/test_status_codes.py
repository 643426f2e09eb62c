"""The status-code table of the trading server and the server error."""
import functools

import pytest

from dorvane.backend.error import ServerError
from dorvane.backend.socket.protocol import core, fenrik
from dorvane.backend.socket.protocol.fenrik import Error, Fenrik, Success


def codes_of(*parts):
    """Codes from ints and inclusive (first, last) ranges."""
    out = set()
    for part in parts:
        out.update(range(part[0], part[1] + 1) if isinstance(part, tuple) else [part])
    return out


GROUPS = {
    "success": (codes_of(0), 1),
    "signing": (codes_of(1), 1),
    "20000s": (codes_of((20000, 20008), 20010, 20020, 20030, (20040, 20058), 20061, 20071), 33),
    "30000s": (codes_of(30000, 30001, (30003, 30035)), 35),
    "31000s": (codes_of((31000, 31004)), 5),
    "32000s": (codes_of((32000, 32002)), 3),
    "33000s": (codes_of((33000, 33005), 33007, 33008, 33081, 33082), 10),
    "71000s": (codes_of((71200, 71215)), 16),
    "72000s": (codes_of(72000, 72001, (72003, 72047), 72049, 72100, 72101), 50),
    "74000s": (codes_of((74000, 74021), (74023, 74032)), 32),
    "75000s": (codes_of((75000, 75007), 75900), 9),
    "79000s": (codes_of((79000, 79003), 79010, 79011, (79050, 79052)), 9),
    "80000s": (codes_of((80001, 80009), 80999), 10),
}

MESSAGES = [
    (0, "success"),
    (1, "VEXA有問題唷"),
    (20000, "無此資料"),
    (75004, "無此資料"),
    (20044, "登入人數滿載, 請聯絡客服人員"),
    (20054, "資料有誤, 請聯絡客服人員"),
    (20058, "解壓失敗"),
    (30008, "kivosrvd process未連線到KIVOgw"),
    (30009, "invalid fd(無法發生. Logic error)"),
    (31003, "invalid fd(無法發生. Logic error)"),
    (30010, "不正確的 kivo 範圍"),
    (30024, "kivogw service full timeout."),
    (30032, "TimeOut"),
    (30035, "系統維護中，暫停登入"),
    (31002, "指定bucket內,搜尋商品失敗"),
    (32002, "找不到  sub-monitoring"),
    (33001, "密碼錯誤3次已鎖住,請洽客服中心02-5550-0100."),
    (72036, "密碼錯誤3次已鎖住,請洽客服中心02-5550-0100."),
    (33003, "您的帳號目前無法使用API，請洽營業同仁提出申請"),
    (71208, "密碼太短, 至少7位"),
    (72009, "黑名單"),
    (72013, "無此帳號，請重新輸入或洽詢客服中心:02-5550-0100。"),
    (72046, "密碼錯誤3次已鎖住,請洽電商服務科02-5550-0200."),
    (72101, "密碼輸入錯誤2次，請留意您輸入英文字大小寫"),
    (74010, "處理中, 請再確認委託狀態"),
    (74014, "處理中,  請再確認委託狀態"),
    (79003, "連線逾時, 請稍後再查"),
    (79011, "連線逾時,請再確認委託狀態"),
    (79050, "非交易時間, 暫不開放, 請稍候再作業"),
    (79052, "連線逾時, 請再確認委託狀態"),
    (80003, "QDX未回報,timeout"),
    (80009, "由於您尚未簽署新版「委託書(證券交割)」，請至遠禾銀行進行簽署。"),
    (80999, "關閉QDX查詢,無法查詢"),
]

SHARED = [
    (20000, 75004),
    (20042, 20045, 20046, 20050, 20051, 20054),
    (30009, 31003),
    (31001, 31002),
    (33001, 72036),
    (72007, 72008, 72009),
    (74011, 74012, 74013, 74014),
    (79001, 79002, 79003),
    (79010, 79011),
    (79051, 79052),
]

GAPS = [2, 19999, 20009, 20011, 20059, 20060, 20062, 30002, 30036, 31005, 33006, 33080, 71199,
        71216, 72002, 72048, 72050, 74022, 75008, 79004, 79012, 79049, 80000, 80010, 80998]


def test_table_size_and_distinct_texts():
    assert len(Fenrik.code) == 214
    assert len(set(Fenrik.code.values())) == 196
    assert all(type(k) is int and type(v) is str for k, v in Fenrik.code.items())


@pytest.mark.parametrize("codes, count", GROUPS.values(), ids=GROUPS.keys())
def test_group_codes_present(codes, count):
    assert len(codes) == count
    assert codes <= Fenrik.code.keys()


def test_groups_cover_the_table():
    assert set().union(*(codes for codes, _ in GROUPS.values())) == Fenrik.code.keys()


@pytest.mark.parametrize("code, message", MESSAGES)
def test_exact_message(code, message):
    assert Fenrik.code[code] == message


def test_shared_texts_are_the_only_shared_ones():
    for codes in SHARED:
        assert len({Fenrik.code[c] for c in codes}) == 1, codes
    shared = {c for codes in SHARED for c in codes}
    others = [text for code, text in Fenrik.code.items() if code not in shared]
    assert len(others) == len(set(others))


def test_near_identical_texts_stay_distinct():
    assert Fenrik.code[74010].replace(" ", "") == Fenrik.code[74011].replace(" ", "")
    assert Fenrik.code[74010] != Fenrik.code[74011]
    assert len({Fenrik.code[79010], Fenrik.code[79051], Fenrik.code[79001]}) == 3


@pytest.mark.parametrize("code", GAPS)
def test_gap_codes_absent(code):
    assert Fenrik.code.get(code) is None


def test_success_and_timeouts():
    assert Fenrik.success == Success.success == 0
    assert Fenrik.code[Fenrik.success] == "success"
    assert Fenrik.connection_timeout == Fenrik.default == 30023
    assert Fenrik.code[Fenrik.default] == "client connection timeout"


def test_merge_keeps_the_sources():
    assert fenrik.reduce is functools.reduce
    assert fenrik.code_classes == [Success, Error]
    assert fenrik.codes[0] is Success.code and fenrik.codes[1] is Error.code
    assert Fenrik.code is fenrik.code_status is core.STATUS_CODE.code
    assert Success.code == {0: "success"}
    assert len(Error.code) == 213 and 0 not in Error.code
    assert not hasattr(fenrik, "__all__")
    for cls in (Success, Error, Fenrik):
        assert cls.__bases__ == (object,) and cls.__doc__ is None


# (args, kwargs) -> text of the error; code and message are kept as given.
@pytest.mark.parametrize("args, kwargs, text", [
    ((72000, "帳號密碼錯誤"), {}, "72000 : 帳號密碼錯誤"),
    ((), {"code": 30023, "message": "client connection timeout"},
     "30023 : client connection timeout"),
    ((), {"message": "m", "code": 1}, "1 : m"),
    ((20009, Fenrik.code.get(20009)), {}, "20009 : None"),
    ((-1,), {"message": "Solace login failed"}, "-1 : Solace login failed"),
    (("x", 2.5), {}, "x : 2.5"),
])
def test_server_error(args, kwargs, text):
    error = ServerError(*args, **kwargs)
    given = dict(zip(("code", "message"), args), **kwargs)
    assert str(error) == text
    assert error.args == (text,)
    assert error.code is given["code"] and error.message is given["message"]


def test_server_error_type():
    assert issubclass(ServerError, Exception)
    assert ServerError.__doc__ == "Raise when server responses with an error."
    assert ServerError.__module__ == "dorvane.backend.error"
    assert ServerError.__qualname__ == "ServerError"
    with pytest.raises(Exception) as caught:
        raise ServerError(72000, Fenrik.code[72000])
    assert type(caught.value) is ServerError
    assert caught.value.code == 72000 and caught.value.message == "帳號密碼錯誤"


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((1,), {}),
    ((1, 2, 3), {}),
    ((1,), {"msg": 2}),
    ((1, 2), {"code": 3}),
    ((1, 2), {"extra": 3}),
], ids=["none", "one", "three", "unknown keyword", "duplicate", "extra keyword"])
def test_server_error_bad_arguments(args, kwargs):
    with pytest.raises(TypeError):
        ServerError(*args, **kwargs)
