"""Symbols, latest prices, Depth of Market, margin and profit against a
scripted Terminal: argument rules, the exact request bytes, reply checks and
the conversion of every record field.

Record images are built here field by field with struct.pack from the
published layouts, independently of the module's C declarations."""

import math

import pytest

from fake_terminal import f64, i64, reply, request, u8, u32, u64, wide
from trade_records import SYMBOL, distinct, fields, pack

INCOMPATIBLE = "Terminal: Incompatible versions, please install the latest version of Terminal and Python module"
INVALID = (-2, "Invalid arguments")
RECV = (-10002, "IPC recv failed")
SUCCESS = (1, "Success")

# ---- the symbol record ------------------------------------------------------------

SYMBOL_FIELDS = fields(SYMBOL)
# The tuple order: the wire's, with `name` between `isin` and `page`.
TUPLE_ORDER = [n for n, _ in SYMBOL_FIELDS if n != "name"]
TUPLE_ORDER.insert(TUPLE_ORDER.index("isin") + 1, "name")


def symbol_record(**overrides):
    return pack(SYMBOL, distinct(SYMBOL, **overrides))


def tick_record(time=1, bid=1.1, ask=1.2, last=0.0, volume=5, time_msc=1000, flags=6, volume_real=5.5):
    return i64(time) + f64(bid) + f64(ask) + f64(last) + u64(volume) + i64(time_msc) + u32(flags) + f64(volume_real)


def book_entry(kind, price, volume, volume_dbl):
    return u32(kind) + f64(price) + u64(volume) + f64(volume_dbl)


SYNC = reply(173, 1, u32(7))  # answers the symbols_total that closes a refusal test


# Texts at both ends of the word-at-a-time scan, past Latin-1, astral, lone
# surrogates (two low ones are no pair), a zero unit that ends the text, and
# fields filled to their last unit without a terminator.
TEXTS = ["", "E", "EUR", "EURU", "EURUS", "Euro vs Dollar", "abc\0def", "Euro\xa0\xe9",
         "ABCDEFG\xff", "ABCDEFGH\u20ac", "\u0416\u0438\u0442\u043e", "gold \U0001F947 bar",
         "x\ud800y", "\udc00abc", "\udc00\udc01", "\U0001F947\ud800", "D" * 64, "D" * 63 + "\ud83e"]


@pytest.mark.parametrize("field, text", [*[("description", t) for t in TEXTS],
                                         ("currency_base", "C" * 16), ("bank", "\xe9" * 256),
                                         ("path", "/a" * 64)])
def test_symbol_info_converts_every_field(fake, core, field, text):
    fake.connected(reply(170, 1, symbol_record(**{field: text})))
    info = core.symbol_info("EURUSD")
    assert core.last_error() == SUCCESS and type(info) is core.SymbolInfo
    assert list(core.SymbolInfo.__match_args__) == TUPLE_ORDER
    values, codes = distinct(SYMBOL, **{field: text.split("\0")[0]}), dict(SYMBOL_FIELDS)
    for index, name in enumerate(TUPLE_ORDER):
        code = codes[name]
        assert info[index] == (bool(values[name]) if code == "b" else values[name]), name
        wanted = bool if code == "b" else int if code in "IiQq" else float if code == "d" else str
        assert type(info[index]) is wanted, name


# ---- symbol_info ------------------------------------------------------------------

@pytest.mark.parametrize("build, payload, outcome", [
    (2405, 2993, SUCCESS),
    (2405, 2929, RECV),
    (2405, 2994, RECV),
    (2364, 2993, SUCCESS),
    (2363, 2929, SUCCESS),
    (2363, 2993, RECV),
])
def test_symbol_info_record_size_follows_the_build(fake, core, build, payload, outcome):
    fake.connected(reply(170, 1, symbol_record(name="FROMWIRE")[:payload] + bytes(max(0, payload - 2993))),
                   SYNC, build=build)
    info = core.symbol_info("GBPJPY")
    assert core.last_error() == outcome
    if outcome == SUCCESS:
        # Old builds send no name: it is the one asked for.
        assert info.name == ("FROMWIRE" if payload == 2993 else "GBPJPY")
        assert info.path == "path"
    else:
        assert info is None
    assert fake.requests()[0] == request(170, wide("GBPJPY"))
    if (build, outcome) == (2363, SUCCESS):  # old builds have no catalogue: refused, nothing sent
        assert (core.symbols_total(), core.symbols_get(), core.symbols_get("EUR*")) == (None,) * 3
        assert core.last_error() == (-5, INCOMPATIBLE) and len(fake.requests()) == 1


# ---- symbols_total and symbols_get -----------------------------------------------------


@pytest.mark.parametrize("args, kwargs, sent", [
    ((), {}, request(174)),
    (("",), {}, request(174)),
    ((), {"group": ""}, request(174)),
    ((), {"other": 5}, request(174)),
    (("*,!EUR*",), {}, request(175, wide("*,!EUR*"))),
    ((), {"group": " EUR* , ,"}, request(175, wide(" EUR* , ,"))),
    (("USD*",), {"group": "GBP*"}, request(175, wide("GBP*"))),
    (("G" * 1997,), {}, request(175, wide("G" * 1997))),
])
def test_symbols_get_request(fake, core, args, kwargs, sent):
    fake.connected(reply(sent[4], 1, u32(0)))
    assert core.symbols_get(*args, **kwargs) == ()
    assert core.last_error() == SUCCESS
    assert fake.requests() == [sent]


def test_symbols_get_converts_each_record_in_order(fake, core):
    # The third record repeats the first, the fourth the second but for its bid: values found
    # in an earlier record than the one before are shared too, and each record keeps its own.
    rows = [("EURUSD", 5, 1.5), ("XAUUSD", 2, 2030.5), ("\xc9TOILE", 5, 1.5), ("XAUUSD.G", 2, -0.0)]
    records = [symbol_record(name=n, digits=d, bid=b) for n, d, b in rows]
    fake.connected(reply(174, 1, u32(4) + b"".join(records)))
    symbols = core.symbols_get()
    assert [(s.name, s.digits, s.bid) for s in symbols] == rows
    assert math.copysign(1, symbols[3].bid) == -1  # -0.0 keeps its sign
    assert all(type(s) is core.SymbolInfo for s in symbols)


# ---- symbol_info_tick and symbol_select --------------------------------------------------

def test_tick_and_book_fields(fake, core):
    entries = ((2, 1.5, 10, 10.0), (1, 1.25, 2**64 - 1, 0.5))
    fake.connected(reply(172, 1, tick_record(time=1_768_478_400, time_msc=-2, flags=0xFFFFFFFF,
                                             volume=2**64 - 1)),
                   reply(193, 1, u32(2) + b"".join(book_entry(*e) for e in entries)))
    tick = core.symbol_info_tick("S" * 29)  # the longest name
    assert type(tick) is core.Tick
    assert tuple(tick) == (1_768_478_400, 1.1, 1.2, 0.0, 2**64 - 1, -2, 4294967295, 5.5)
    assert [type(v) for v in tick] == [int, float, float, float, int, int, int, float]
    book = core.market_book_get("XAUUSD")
    assert book == entries and core.last_error() == SUCCESS
    assert all(type(b) is core.BookInfo for b in book)
    assert [type(v) for v in book[1]] == [int, float, int, float]
    assert fake.requests() == [request(172, wide("S" * 29)), request(193, wide("XAUUSD"))]


@pytest.mark.parametrize("args, flag", [
    (("EURUSD",), 1), (("EURUSD", True), 1), (("EURUSD", 5), 1), (("EURUSD", "x"), 1),
    (("EURUSD", False), 0), (("EURUSD", 0), 0), (("EURUSD", []), 0), (("EURUSD", None), 0),
])
def test_symbol_select_flag(fake, core, args, flag):
    fake.connected(reply(171, 0))
    assert core.symbol_select(*args) is True
    assert core.last_error() == SUCCESS
    assert fake.requests() == [u32(21) + u32(171) + wide("EURUSD") + u8(flag)]


@pytest.mark.parametrize("name, args, result", [
    ("symbol_select", ("EURUSD",), False), ("market_book_add", ("EURUSD",), False),
    ("market_book_release", ("EURUSD",), False), ("symbol_info", ("EURUSD",), None),
    ("symbol_info_tick", ("EURUSD",), None), ("market_book_get", ("EURUSD",), None),
    ("order_calc_margin", (0, "EURUSD", 1.0, 1.1), None), ("order_calc_profit", (0, "EURUSD", 1.0, 1.1, 1.2), None),
    ("positions_total", (), None), ("orders_get", (), None), ("order_send", ({"action": 1},), None),
    ("copy_ticks_from", ("EURUSD", 0, 1, 0), None), ("copy_rates_from_pos", ("EURUSD", 1, 0, 1), None),
])
def test_without_connection(core, name, args, result):
    core.shutdown()
    assert getattr(core, name)(*args) is result
    assert core.last_error() == (-10004, "No IPC connection, call initialize() first")


# ---- margin and profit ---------------------------------------------------------------

@pytest.mark.parametrize("name, args, sent", [
    ("order_calc_margin", (0, "EURUSD", 1.0, 1.1),
     u32(40) + u32(162) + u32(0) + wide("EURUSD") + f64(1.0) + f64(1.1)),
    ("order_calc_margin", (-1, "EURUSD", 1, 2), u32(40) + u32(162) + u32(0xFFFFFFFF) + wide("EURUSD") + f64(1.0) + f64(2.0)),
    ("order_calc_margin", (2**32 + 1, "X", 0.5, 0), u32(30) + u32(162) + u32(1) + wide("X") + f64(0.5) + f64(0.0)),
    ("order_calc_profit", (1, "EURUSD", 0.5, 1.1, 1.2),
     u32(48) + u32(163) + u32(1) + wide("EURUSD") + f64(0.5) + f64(1.1) + f64(1.2)),
    ("order_calc_profit", (0, "S" * 29, 1, 2, 3),
     u32(94) + u32(163) + u32(0) + wide("S" * 29) + f64(1.0) + f64(2.0) + f64(3.0)),
])
def test_calc_request_bytes(fake, core, name, args, sent):
    fake.connected(reply(sent[4], 1, f64(12.5)))
    assert getattr(core, name)(*args) == 12.5
    assert core.last_error() == SUCCESS
    assert fake.requests() == [sent]


# ---- refusals and broken replies -------------------------------------------------------

UNTRUTHFUL = type("Untruthful", (), {"__bool__": lambda self: 1 / 0})()  # its truth raises


def rows(names, arg_rows, result, error=INVALID):
    return [(n, a, {}, result, error) for n in names for a in arg_rows]


@pytest.mark.parametrize("name, args, kwargs, result, error", [
    *rows(["symbol_info", "symbol_info_tick", "market_book_get"],
          [(), ("A" * 30,), (5,), (b"EURUSD",), ("EURUSD", "GBPUSD"), (None,), ("EURUSD\0GBPUSD",)], None),
    *rows(["market_book_add", "market_book_release"], [(5,), (), ("XAUUSD", "EURUSD"), ("A" * 30,), ("X\0",)], None),
    *rows(["symbol_select"], [(), ("EURUSD", True, 1), (5,), ("A" * 30,), ("EURUSD", UNTRUTHFUL), ("EURUSD\0x",)],
          False),
    *rows(["order_calc_margin"], [(0, "EURUSD", 1.0), (0, "EURUSD", 1.0, 1.1, 1.2), (0, "EURUSD", "1.0", 1.1),
                                  (0.0, "EURUSD", 1.0, 1.1), (0, 5, 1.0, 1.1), (0, "A" * 30, 1.0, 1.1),
                                  (0, "EURUSD\0", 1.0, 1.1)], None),
    *rows(["order_calc_profit"], [(0, "EURUSD", 1.0, 1.1), (0, "EURUSD", 1.0, 1.1, 1.2, 1.3),
                                  (0, "EURUSD", 1.0, None, 1.2)], None),
    # symbols_get refuses with False and names the argument.
    ("symbols_get", ("A*", "B*"), {}, False, (-2, "Invalid number of arguments")),
    ("symbols_get", (5,), {}, False, (-2, "Invalid 1st unnamed argument")),
    ("symbols_get", ("G" * 1998,), {}, False, (-2, "Invalid 1st unnamed argument")),
    ("symbols_get", ("EUR*\0",), {}, False, (-2, "Invalid 1st unnamed argument")),
    ("symbols_get", (5,), {"group": "EUR*"}, False, (-2, "Invalid 1st unnamed argument")),
    ("symbols_get", (), {"group": None}, False, (-2, 'Invalid "group" argument')),
    ("symbols_get", ("EUR*",), {"group": "G" * 1998}, False, (-2, 'Invalid "group" argument')),
])
def test_refused_before_sending(fake, core, name, args, kwargs, result, error):
    fake.connected(SYNC)
    assert getattr(core, name)(*args, **kwargs) is result
    assert core.last_error() == error
    assert core.symbols_total() == 7
    assert fake.requests() == [request(173)]


NOT_FOUND = (-4, "Terminal: Not found")
CALL_FAILED = (-10000, "IPC call failed")


@pytest.mark.parametrize("name, args, frame, result, outcome", [
    ("symbols_total", (), reply(173, 1, u32(4_000_000_000)), 4_000_000_000, SUCCESS),
    ("symbols_total", (), reply(173, 0, u32(0)), 0, SUCCESS),
    ("symbols_total", (), reply(173, -4), None, NOT_FOUND),
    ("symbols_total", (), reply(173, 1, u32(3) + u32(0)), None, RECV),
    ("symbols_total", (), reply(174, 1, u32(3)), None, CALL_FAILED),
    ("symbols_get", (), reply(174, 1, u32(3) + symbol_record() * 2), None, RECV),  # promises more than it holds
    ("symbols_get", (), reply(174, 1, u32(2) + symbol_record() * 3), None, RECV),  # holds more than it promises
    ("symbols_get", (), reply(174, 1, u32(1) + symbol_record()[:-1]), None, RECV),
    ("symbols_get", (), reply(174, 1, u32(0xFFFFFFFF) + symbol_record()), None, RECV),  # no frame could carry it
    ("market_book_get", ("XAUUSD",), reply(193, 1, u32(0)), (), SUCCESS),
    ("symbol_info_tick", ("EURUSD",), reply(172, 1, tick_record()[:-1]), None, RECV),
    ("symbol_info_tick", ("EURUSD",), reply(172, 1, tick_record() + b"\0"), None, RECV),
    ("symbol_info_tick", ("EURUSD",), reply(172, -4, tick_record()[:-1]), None, NOT_FOUND),
    ("symbol_info_tick", ("EURUSD",), reply(171, 1, tick_record()), None, CALL_FAILED),
    ("symbol_select", ("EURUSD", False), reply(171, -4), False, NOT_FOUND),
    ("symbol_select", ("EURUSD", False), reply(171, 1, u32(0)), False, RECV),
    ("symbol_select", ("EURUSD", False), reply(172, 1), False, CALL_FAILED),
    ("order_calc_margin", (0, "EURUSD", 1.0, 1.1), reply(162, -2), None, (-2, "Terminal: Invalid params")),
    ("order_calc_margin", (0, "EURUSD", 1.0, 1.1), reply(163, 1, f64(1.0)), None, CALL_FAILED),
    *[(name, ("XAUUSD",), reply(command, result, payload), answer, outcome)
      for name, command in (("market_book_add", 191), ("market_book_release", 192))
      for result, payload, answer, outcome in ((1, b"", True, SUCCESS), (-4, b"", False, NOT_FOUND),
                                               (1, u32(1), False, RECV))],
])
def test_broken_or_refused_replies(fake, core, name, args, frame, result, outcome):
    fake.connected(frame, SYNC)
    got = getattr(core, name)(*args)
    assert (got, type(got)) == (result, type(result))
    assert core.last_error() == outcome
    assert core.symbols_total() == 7  # the stream stayed in step
