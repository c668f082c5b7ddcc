"""Market data of the simulated Terminal: symbol records, the latest tick,
Market Watch, Depth of Market, and the refusals of margin and profit."""

from __future__ import annotations

import math
import time

import numpy as np
import pytest

import terminal_client as tc
from terminal_times import NOW_MS

ALL = 3
D1 = 1440
BUY, SELL, CLOSE_BY = 0, 1, 8
BOOK_SELL, BOOK_BUY = 1, 2
TABLE_SIZE = 25
# The defaults in Market Watch, and symbols that start outside it.
DEFAULT_WATCH = ["EURUSD", "GBPUSD", "USDJPY", "USDCHF", "AUDUSD", "USDCAD", "NZDUSD", "XAUUSD", "US500", "BTCUSD"]


def info(client, symbol):
    result, rec = client.symbol_info(symbol)
    assert result == tc.SUCCESS, (symbol, result)
    return rec


def tick(client, symbol):
    result, t = client.symbol_info_tick(symbol)
    assert result == tc.SUCCESS
    return t


# ---- symbol records ----------------------------------------------------------


@pytest.mark.parametrize("symbol, path, profit_currency", [
    ("EURUSD", "Forex\\Majors", "USD"), ("USDJPY", "Forex\\Majors", "JPY"), ("EURGBP", "Forex\\Crosses", "GBP"),
    ("XAUUSD", "Metals\\Spot", "USD"), ("US500", "Indices\\America", "USD"),  # closed now: Thursday's figures
    ("UK100", "Indices\\Europe", "GBP"), ("BTCUSD", "Crypto\\Coins", "USD"), ("XRPUSD", "Crypto\\Coins", "USD"),
])
def test_record_is_consistent(client, symbol, path, profit_currency):
    r = info(client, symbol)
    assert (r["name"], r["path"], r["currency_profit"]) == (symbol, path + "\\" + symbol, profit_currency)
    assert r["point"] == 10.0 ** -r["digits"]
    assert r["ask"] > r["bid"] > 0 and r["spread"] == round((r["ask"] - r["bid"]) / r["point"])
    assert r["bidhigh"] >= r["bid"] >= r["bidlow"] > 0
    assert r["askhigh"] >= r["ask"] >= r["asklow"] > 0
    assert r["askhigh"] >= r["bidhigh"] and r["asklow"] >= r["bidlow"]
    assert r["volume_min"] <= r["volume_max"] and r["volume_step"] > 0
    # Crypto has swaps disabled and reports no rates; the others charge them.
    assert (r["swap_long"] == r["swap_short"] == 0) == (r["swap_mode"] == 0)
    # The quote is the latest tick (the last of history), and the day's extremes are its D1 bar.
    t = tick(client, symbol)
    _, ticks = client.ticks_range(symbol, NOW_MS - 7 * 86400_000, NOW_MS, ALL)
    assert t.tobytes() == ticks[-1].tobytes()
    assert (r["bid"], r["ask"], r["last"], r["time"]) == (t["bid"], t["ask"], t["last"], t["time"])
    _, bars = client.rates_from_pos(symbol, D1, 0, 1)
    assert (r["bidhigh"], r["bidlow"]) == (bars["high"][0], bars["low"][0])
    assert bars["time"][0] <= r["time"] < bars["time"][0] + 86400
    # One tick of one lot, in the USD account's currency.
    per_lot = r["trade_tick_size"] * r["trade_contract_size"]
    if profit_currency == "USD":
        assert r["trade_tick_value"] == r["trade_tick_value_loss"] == per_lot
    else:
        pair = "USDJPY" if profit_currency == "JPY" else "GBPUSD"
        q = tick(client, pair)
        expected = per_lot / q["ask"] if pair == "USDJPY" else per_lot * q["bid"]
        assert r["trade_tick_value"] == pytest.approx(expected, rel=1e-12)
        assert r["trade_tick_value_loss"] > r["trade_tick_value_profit"] == r["trade_tick_value"]
    assert r["chart_mode"] == path.startswith(("Indices", "Crypto"))  # a chart of last prices
    if symbol == "BTCUSD":  # the figures of today's deals
        deals = ticks[(ticks["time"] >= NOW_MS // 86400_000 * 86400) & (ticks["volume"] > 0)]
        orders = r["session_buy_orders"] + r["session_sell_orders"]
        assert r["session_deals"] == len(deals) == orders
        assert (r["lasthigh"], r["lastlow"]) == (deals["last"].max(), deals["last"].min())
        assert r["session_volume"] == pytest.approx(deals["volume_real"].sum())


def test_extra_symbols_and_a_tick_value_in_the_accounts_currency(launch):
    with launch("--extra-symbols", "5000").client() as c:
        assert c.symbols_total() == (tc.SUCCESS, TABLE_SIZE + 5000)
        _, recs = c.symbols_get()
        names = [r["name"] for r in recs]
        assert len(set(names)) == len(names) == TABLE_SIZE + 5000
        table = names[:TABLE_SIZE]
        assert max(map(len, names)) == 29 and names[-1] == table[4999 % TABLE_SIZE] + ".G5000." + "x" * 16
        g = recs[TABLE_SIZE]
        assert (g["name"], g["path"], g["custom"]) == ("EURUSD.G1", "Generated\\Forex\\EURUSD.G1", 1)
        # A generated symbol trades like its template and shares its prices.
        template = recs[0]
        same = ["bid", "ask", "bidhigh", "digits", "trade_tick_value", "trade_contract_size", "currency_profit"]
        assert {k: g[k] for k in same} == {k: template[k] for k in same}
        assert [r["name"] for r in c.symbols_get("*.G4999")[1]] == [table[4998 % TABLE_SIZE] + ".G4999"]
        _, ticks = c.ticks_range("EURUSD.G1", NOW_MS - 60_000, NOW_MS, ALL)
        assert len(ticks) > 0 and ticks[-1]["bid"] == g["bid"]
        assert c.book_add(names[-1]) == tc.SUCCESS
        # The tick value follows the account (margin and profit on every account: test_model.py).
        assert c.login(5001002, "demo1002") == tc.SUCCESS  # EUR
        expected = 1.0 / tick(c, "EURUSD")["ask"]
        assert info(c, "EURUSD")["trade_tick_value"] == pytest.approx(expected, rel=1e-12)
        # symbol_info converts with the pairs of its two currencies (and USD)
        # alone, symbols_get with all of them: the same figures, exactly.
        values = ("trade_tick_value", "trade_tick_value_profit", "trade_tick_value_loss")
        for account in ((5001001, "demo1001"), (5001002, "demo1002")):  # USD, EUR
            assert c.login(*account) == tc.SUCCESS
            _, recs = c.symbols_get()
            assert [[info(c, name)[k] for k in values] for name in table] == \
                [[r[k] for k in values] for r in recs[:TABLE_SIZE]]


# ---- Market Watch and Depth of Market ----------------------------------------


def selected(client, symbol) -> bool:
    r = info(client, symbol)
    assert r["select"] == r["visible"]
    return bool(r["select"])


def test_market_watch_selection_and_book_release(client):
    _, recs = client.symbols_get()
    assert [r["name"] for r in recs if r["select"]] == DEFAULT_WATCH
    assert client.symbol_select("EURGBP", True) == tc.SUCCESS and selected(client, "EURGBP")
    assert client.symbol_select("EURGBP", True) == tc.SUCCESS and selected(client, "EURGBP")
    assert client.symbol_select("EURGBP", False) == tc.SUCCESS and not selected(client, "EURGBP")
    assert client.symbol_select("EURGBP", False) == tc.SUCCESS
    assert client.book_add("GBPJPY") == tc.SUCCESS
    assert client.book_add("GBPJPY") == tc.SUCCESS  # once is enough to release
    assert client.book_release("GBPJPY") == tc.SUCCESS
    assert client.symbol_select("GBPJPY", False) == tc.SUCCESS
    assert client.book_release("GBPJPY") == tc.FAILED
    assert client.book_get("GBPJPY") == (tc.FAILED, None)


def test_a_book_keeps_its_symbol_in_market_watch_until_its_client_leaves(terminal):
    with terminal.client() as other:
        with terminal.client() as holder:
            assert holder.book_add("EURJPY") == tc.SUCCESS
            assert selected(other, "EURJPY"), "a subscription selects its symbol"
            assert other.symbol_select("EURJPY", False) == tc.FAILED
            assert other.book_get("EURJPY") == (tc.FAILED, None), "subscriptions belong to one connection"
            assert other.book_release("EURJPY") == tc.FAILED
            assert holder.book_get("EURJPY")[0] == tc.SUCCESS
        # The holder disconnected: its subscription ended with it. The
        # Terminal notices the disconnect on its own thread, so wait for it.
        deadline = time.monotonic() + 20
        while other.symbol_select("EURJPY", False) != tc.SUCCESS:
            assert time.monotonic() < deadline, "the subscription outlived its connection"
            time.sleep(0.01)
        assert not selected(other, "EURJPY")


@pytest.mark.parametrize("call", ["symbol_info", "symbol_info_tick", "symbol_select", "book_add", "book_release", "book_get"])
@pytest.mark.parametrize("name", ["NOPE", "eurusd", "EURUSD ", ""])
def test_unknown_symbol(client, call, name):
    result = getattr(client, call)(name)
    assert (result[0] if isinstance(result, tuple) else result) == tc.NOT_FOUND


@pytest.mark.parametrize("symbol", ["EURUSD", "USDJPY", "XAUUSD", "BTCUSD", "XRPUSD"])
def test_book_levels(client, symbol):
    assert client.book_add(symbol) == tc.SUCCESS
    result, book = client.book_get(symbol)
    assert result == tc.SUCCESS
    t = tick(client, symbol)
    sells, buys = book[book["type"] == BOOK_SELL], book[book["type"] == BOOK_BUY]
    assert len(sells) == len(buys) == info(client, symbol)["ticks_bookdepth"] >= 5
    assert np.array_equal(book["type"], [BOOK_SELL] * len(sells) + [BOOK_BUY] * len(buys))
    assert sells["price"][-1] == t["ask"] and buys["price"][0] == t["bid"]
    assert np.all(np.diff(book["price"]) < 0), "prices fall from the top sell level to the bottom buy level"
    assert np.all(book["volume"] >= 1) and np.array_equal(book["volume"].astype(float), book["volume_dbl"])
    assert client.book_get(symbol)[1].tobytes() == book.tobytes(), "the same quote gives the same book"


# ---- margin and profit -------------------------------------------------------


@pytest.mark.parametrize("action, symbol, volume, price, expected", [
    *[(action, "EURUSD", 1.0, 1.1, tc.INVALID_PARAMS) for action in (CLOSE_BY, 99)],
    *[(BUY, "EURUSD", volume, 1.1, tc.INVALID_PARAMS) for volume in (0.0, -1.0, math.nan, math.inf)],
    *[(SELL, "EURUSD", 1.0, price, tc.INVALID_PARAMS) for price in (0.0, -math.inf, math.nan)],
    (BUY, "NOPE", 1.0, 1.1, tc.NOT_FOUND),
])
def test_calculations_refuse(client, action, symbol, volume, price, expected):
    assert client.calc_margin(action, symbol, volume, price) == (expected, None)
    assert client.calc_profit(action, symbol, volume, price, price) == (expected, None)
