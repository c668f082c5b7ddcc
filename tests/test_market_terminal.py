"""The module against the bundled Terminal with its clock fixed: where a
value is the Terminal's own (symbols, quotes, the book, margin and profit,
tick and bar history), the module must return exactly what a raw-socket
client decodes from the same command."""

import datetime as dt

import pytest
from bundled import NOW

MONDAY_S = 1_740_992_400  # 2025-03-03 09:00 UTC
MONDAY = dt.datetime.fromtimestamp(MONDAY_S, dt.timezone.utc)
BUY, SELL_LIMIT = 0, 3
SUCCESS = (1, "Success")


@pytest.fixture
def raw(bundled):
    return bundled("--now", str(NOW))


def test_values_are_the_terminals(core, raw):
    symbols = core.symbols_get()
    assert core.symbols_total() == len(symbols) == 25
    assert [s._asdict() for s in symbols] == raw.symbols_get()[1]
    assert all(type(s) is core.SymbolInfo for s in symbols)
    # The Terminal selects by group, in its own order.
    assert [s.name for s in core.symbols_get(group="*USD,!EUR*,!X*")] == [
        s.name for s in symbols if s.name.endswith("USD") and not s.name.startswith(("EUR", "X"))]
    for symbol in ("EURUSD", "XAUUSD", "BTCUSD"):
        info, tick = core.symbol_info(symbol), core.symbol_info_tick(symbol)
        assert info._asdict() == raw.symbol_info(symbol)[1] and info.name == symbol
        assert tuple(tick) == tuple(raw.symbol_info_tick(symbol)[1].tolist())
        assert (info.bid, info.ask, info.time) == (tick.bid, tick.ask, tick.time)
    margin, profit = (BUY, "UK100", 2.0, 7700.0), (SELL_LIMIT, "XAUUSD", 2.0, 2000.0, 1990.0)
    assert core.order_calc_margin(*margin) == raw.calc_margin(*margin)[1]  # GBP through the quote
    assert core.order_calc_profit(*profit) == raw.calc_profit(*profit)[1]
    assert core.market_book_add("XAUUSD") is True
    book = core.market_book_get("XAUUSD")
    raw.book_add("XAUUSD")
    assert [tuple(b) for b in book] == [tuple(e) for e in raw.book_get("XAUUSD")[1].tolist()]
    assert len(book) == 2 * core.symbol_info("XAUUSD").ticks_bookdepth
    assert core.last_error() == SUCCESS


def test_old_build_end_to_end(core, bundled):
    raw = bundled("--now", str(NOW), "--build", "2363")
    assert core.symbols_total() is None and core.last_error()[0] == -5
    info = core.symbol_info("EURGBP")
    assert core.last_error() == SUCCESS
    assert info._asdict() == dict(raw.symbol_info("EURGBP", short=True)[1], name="EURGBP")


HISTORY = [  # the module's call, and the raw client's (milliseconds for ticks, seconds for bars)
    ("copy_ticks_from", ("EURUSD", MONDAY, 5000, 3),
     lambda c: c.ticks_from("EURUSD", MONDAY_S * 1000, 5000, 3)),
    ("copy_ticks_range", ("GBPUSD", MONDAY, MONDAY + dt.timedelta(minutes=20), 1),
     lambda c: c.ticks_range("GBPUSD", MONDAY_S * 1000, (MONDAY_S + 1200) * 1000, 1)),
    ("copy_rates_from", ("EURUSD", 60, MONDAY, 100),
     lambda c: c.rates_from("EURUSD", 60, MONDAY_S, 100)),
    ("copy_rates_range", ("USDJPY", 1, MONDAY, MONDAY + dt.timedelta(hours=15)),
     lambda c: c.rates_range("USDJPY", 1, MONDAY_S, MONDAY_S + 15 * 3600)),
    ("copy_rates_from_pos", ("EURUSD", 15, 0, 500),
     lambda c: c.rates_from_pos("EURUSD", 15, 0, 500)),
]


@pytest.mark.parametrize("name, args, call", HISTORY, ids=[c[0] for c in HISTORY])
def test_history_arrays_hold_what_the_terminal_sent(core, raw, name, args, call):
    array = getattr(core, name)(*args)
    assert core.last_error() == SUCCESS
    result, expected = call(raw)
    assert result >= 0 and len(expected) > 0
    assert array.dtype.names == expected.dtype.names
    assert array.tobytes() == expected.tobytes() and array.flags.owndata


def test_a_long_list_is_converted_as_it_arrives(core, bundled):
    # 6 025 symbols (18 MB) arrive in many pieces, some ending inside a record, and outgrow
    # the first storage, which moves under the records already converted.
    raw = bundled("--now", str(NOW), "--extra-symbols", "6000")
    symbols = core.symbols_get()
    assert [s._asdict() for s in symbols] == raw.symbols_get()[1]
