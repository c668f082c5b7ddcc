"""Symbols, prices, Market Watch, Depth of Market, margin and profit end to
end: the module against the bundled Terminal, with the Terminal's clock
fixed so that its quotes hold still. Where a value is the Terminal's own,
the module must return exactly what a raw-socket client decodes from the
same command."""

import subprocess

import pytest

import host
import terminal_client as tc

NOW = 1_768_478_400  # 2026-01-15 12:00 UTC, a Thursday
BUY, SELL, SELL_LIMIT = 0, 1, 3
BOOK_SELL, BOOK_BUY = 1, 2
FAILED = (-1, "Terminal: Call failed")
NOT_FOUND = (-4, "Terminal: Not found")
SUCCESS = (1, "Success")


@pytest.fixture
def launch(private_folders, terminal_binary, core):
    """Starts a Terminal from the test's folder with the given options and
    connects the module to it; returns a raw client beside it."""
    started = []

    def start(*options):
        exe = private_folders / "terminal" / host.TERMINAL_NAME
        exe.parent.mkdir(exist_ok=True)
        host.copy_file(terminal_binary, exe)
        process = subprocess.Popen([str(exe), "--now", str(NOW), *options], cwd=exe.parent,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started.append(process)
        client = tc.TerminalClient.connect(str(exe))
        client.handshake()
        assert core.initialize(str(exe)), core.last_error()
        started.append(client)
        return client

    yield start
    core.shutdown()
    for thing in reversed(started):
        if isinstance(thing, tc.TerminalClient):
            thing.close()
        else:
            thing.terminate()
            thing.wait(10)


@pytest.fixture
def raw(launch):
    return launch()


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


@pytest.mark.parametrize("symbol", ["EURUSD", "USDJPY", "XAUUSD", "UK100", "BTCUSD"])
def test_symbol_info_is_sane(core, raw, symbol):
    info = core.symbol_info(symbol)
    assert info._asdict() == raw.symbol_info(symbol)[1]
    assert info.name == symbol and info.path.endswith("\\" + symbol)
    assert 0 < info.bid < info.ask and info.bidlow <= info.bid <= info.bidhigh
    assert info.point == pytest.approx(10.0 ** -info.digits)
    assert info.volume_min <= info.volume_step * 100 and info.volume_min < info.volume_max
    assert info.currency_profit in ("USD", "JPY", "GBP") and len(info.currency_base) == 3


def test_unknown_symbol(core, raw):
    assert core.symbol_info("NOPE") is None
    assert core.last_error() == NOT_FOUND
    assert core.symbol_info_tick("eurusd") is None
    assert core.last_error() == NOT_FOUND


def test_symbol_info_tick(core, raw):
    tick = core.symbol_info_tick("EURUSD")
    assert core.last_error() == SUCCESS
    _, expected = raw.symbol_info_tick("EURUSD")
    assert tuple(tick) == tuple(expected.tolist())
    assert 0 < tick.bid < tick.ask and tick.time == tick.time_msc // 1000 <= NOW
    info = core.symbol_info("EURUSD")
    assert (info.bid, info.ask, info.time) == (tick.bid, tick.ask, tick.time)


def test_old_build_end_to_end(core, launch):
    raw = launch("--build", "2363")
    assert core.symbols_total() is None
    assert core.last_error()[0] == -5
    assert core.symbols_get("EUR*") is None
    assert core.last_error()[0] == -5
    info = core.symbol_info("EURGBP")
    assert core.last_error() == SUCCESS
    _, short = raw.symbol_info("EURGBP", short=True)
    assert info._asdict() == dict(short, name="EURGBP")


# ---- groups, selected by the Terminal ---------------------------------------------

@pytest.mark.parametrize("group, expected", [
    ("EUR*", ["EURUSD", "EURGBP", "EURJPY", "EURCHF"]),
    ("*JPY*", ["USDJPY", "EURJPY", "GBPJPY"]),
    ("X*USD", ["XAUUSD", "XAGUSD", "XPTUSD", "XRPUSD"]),
    ("*USD,!EUR*,!X*", "usd"),
    (" XAUUSD , , BTCUSD ,", ["XAUUSD", "BTCUSD"]),
    ("!EUR*", []),
    ("eur*", []),
    ("", "all"),
])
def test_symbols_get_by_group(core, raw, group, expected):
    every = names(core.symbols_get())
    selected = names(core.symbols_get(group=group))
    assert core.last_error() == SUCCESS
    if expected == "all":
        assert selected == every
    elif expected == "usd":
        assert selected == [n for n in every if n.endswith("USD") and not n.startswith(("EUR", "X"))]
    else:
        assert selected == expected


def test_over_long_group_is_refused_before_sending(core, raw):
    assert core.symbols_get("*" * 1998) is False
    assert core.last_error() == (-2, "Invalid 1st unnamed argument")
    assert names(core.symbols_get("*" * 1997)) == names(core.symbols_get())


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
    depth = core.symbol_info("XAUUSD").ticks_bookdepth
    assert [b.type for b in book] == [BOOK_SELL] * depth + [BOOK_BUY] * depth
    tick = core.symbol_info_tick("XAUUSD")
    assert book[depth - 1].price == tick.ask and book[depth].price == tick.bid
    assert all(b.volume == b.volume_dbl >= 1 for b in book)
    assert core.market_book_release("XAUUSD") is True
    assert core.market_book_release("XAUUSD") is False
    assert core.last_error() == FAILED
    assert core.market_book_add("NOPE") is False
    assert core.last_error() == NOT_FOUND


# ---- margin and profit (default account: USD, 1:100) -----------------------------------

@pytest.mark.parametrize("name, args, expected", [
    ("order_calc_margin", (BUY, "EURUSD", 1.0, 1.1), 1100.0),
    ("order_calc_profit", (BUY, "EURUSD", 1.0, 1.1, 1.2), 10_000.0),
    ("order_calc_profit", (SELL, "EURUSD", 1, 1.1, 1.2), -10_000.0),
    ("order_calc_margin", (SELL, "XAUUSD", 0.5, 2000), 1000.0),
    ("order_calc_profit", (SELL_LIMIT, "XAUUSD", 2.0, 2000.0, 1990.0), 2000.0),
])
def test_margin_and_profit(core, raw, name, args, expected):
    assert getattr(core, name)(*args) == pytest.approx(expected, rel=1e-12)
    assert core.last_error() == SUCCESS


def test_cross_currency_margin_and_profit(core, raw):
    gbpusd = core.symbol_info_tick("GBPUSD").bid
    assert core.order_calc_margin(BUY, "UK100", 2.0, 7700.0) == pytest.approx(154.0 * gbpusd, rel=1e-12)
    assert core.order_calc_profit(BUY, "EURGBP", 1.0, 0.85, 0.86) == pytest.approx(1000.0 * gbpusd, rel=1e-9)


@pytest.mark.parametrize("args, outcome", [
    ((BUY, "NOPE", 1.0, 1.1), NOT_FOUND),
    ((BUY, "EURUSD", 0.0, 1.1), (-2, "Terminal: Invalid params")),
    ((99, "EURUSD", 1.0, 1.1), (-2, "Terminal: Invalid params")),
])
def test_calculation_refused_by_the_terminal(core, raw, args, outcome):
    assert core.order_calc_margin(*args) is None
    assert core.last_error() == outcome
