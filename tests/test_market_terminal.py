"""Symbols, prices, Market Watch, Depth of Market, margin and profit end to
end: the module against the bundled Terminal, with the Terminal's clock
fixed so that its quotes hold still. Where a value is the Terminal's own,
the module must return exactly what a raw-socket client decodes from the
same command."""

import pytest

NOW = 1_768_478_400  # 2026-01-15 12:00 UTC, a Thursday
BUY, SELL, SELL_LIMIT = 0, 1, 3
FAILED = (-1, "Terminal: Call failed")
NOT_FOUND = (-4, "Terminal: Not found")
SUCCESS = (1, "Success")


@pytest.fixture
def raw(bundled):
    return bundled("--now", str(NOW))


def names(symbols):
    return [s.name for s in symbols]


# ---- the catalogue --------------------------------------------------------------

def test_catalogue_matches_the_raw_records(core, raw):
    symbols = core.symbols_get()
    assert core.symbols_total() == len(symbols) == 25
    _, records = raw.symbols_get()
    assert [s._asdict() for s in symbols] == records
    assert all(type(s) is core.SymbolInfo for s in symbols)
    assert len(set(names(symbols))) == 25
    # The Terminal selects by group, in its own order.
    assert names(core.symbols_get(group="*USD,!EUR*,!X*")) == [
        n for n in names(symbols) if n.endswith("USD") and not n.startswith(("EUR", "X"))]
    assert core.symbols_get("!EUR*") == ()


@pytest.mark.parametrize("symbol", ["EURUSD", "USDJPY", "XAUUSD", "UK100", "BTCUSD"])
def test_symbol_info_and_tick_are_the_terminals(core, raw, symbol):
    info, tick = core.symbol_info(symbol), core.symbol_info_tick(symbol)
    assert core.last_error() == SUCCESS
    assert info._asdict() == raw.symbol_info(symbol)[1] and info.name == symbol
    assert tuple(tick) == tuple(raw.symbol_info_tick(symbol)[1].tolist())
    assert (info.bid, info.ask, info.time) == (tick.bid, tick.ask, tick.time)


def test_old_build_end_to_end(core, bundled):
    raw = bundled("--now", str(NOW), "--build", "2363")
    assert core.symbols_total() is None
    assert core.last_error()[0] == -5
    assert core.symbols_get("EUR*") is None
    assert core.last_error()[0] == -5
    info = core.symbol_info("EURGBP")
    assert core.last_error() == SUCCESS
    _, short = raw.symbol_info("EURGBP", short=True)
    assert info._asdict() == dict(short, name="EURGBP")


# ---- Market Watch and Depth of Market ------------------------------------------------

def test_market_watch_add_and_remove(core, raw):
    assert core.symbol_info("EURGBP").select is False
    assert core.symbol_select("EURGBP") is True
    assert core.symbol_info("EURGBP").select is True
    assert "EURGBP" in [s.name for s in core.symbols_get() if s.select]
    assert core.symbol_select("EURGBP", False) is True
    assert core.symbol_info("EURGBP").visible is False
    assert core.symbol_select("NOPE", True) is False
    assert core.last_error() == NOT_FOUND


def test_book_subscribe_get_release(core, raw):
    assert core.market_book_get("XAUUSD") is None  # no subscription yet
    assert core.last_error() == FAILED
    assert core.market_book_add("XAUUSD") is True
    book = core.market_book_get("XAUUSD")
    assert core.last_error() == SUCCESS
    raw.book_add("XAUUSD")
    assert [tuple(b) for b in book] == [tuple(e) for e in raw.book_get("XAUUSD")[1].tolist()]
    assert len(book) == 2 * core.symbol_info("XAUUSD").ticks_bookdepth
    assert core.market_book_release("XAUUSD") is True
    assert core.market_book_release("XAUUSD") is False
    assert core.last_error() == FAILED
    assert core.market_book_add("NOPE") is False
    assert core.last_error() == NOT_FOUND


# ---- margin and profit -------------------------------------------------------------

@pytest.mark.parametrize("name, args", [
    ("order_calc_margin", (BUY, "EURUSD", 1.0, 1.1)),
    ("order_calc_margin", (BUY, "UK100", 2.0, 7700.0)),  # GBP through the current quote
    ("order_calc_profit", (SELL, "EURUSD", 1, 1.1, 1.2)),
    ("order_calc_profit", (SELL_LIMIT, "XAUUSD", 2.0, 2000.0, 1990.0)),
])
def test_margin_and_profit_are_the_terminals(core, raw, name, args):
    expected = getattr(raw, name.replace("order_", ""))(*args)[1]
    assert getattr(core, name)(*args) == expected
    assert core.last_error() == SUCCESS
