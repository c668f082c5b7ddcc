"""Tick history of the simulated market: selection, flags, determinism,
time bounds and refusals."""

from __future__ import annotations

import numpy as np
import pytest

import terminal_client as tc
from terminal_times import DAY_S, NOW_MS, NOW_S

ALL, INFO, TRADE = 3, 1, 2
BID, ASK, LAST, VOLUME, BUY, SELL = 1, 2, 4, 8, 16, 32

# One symbol of each market kind, plus a few with unusual digits and ticks.
SYMBOLS = ["EURUSD", "USDJPY", "XAUUSD", "US500", "JPN225", "BTCUSD", "XRPUSD"]
WITH_DEALS = {"US500", "JPN225", "BTCUSD", "XRPUSD"}


def ticks(client, symbol, lo, hi, flags=ALL):
    result, arr = client.ticks_range(symbol, lo, hi, flags)
    assert result == tc.SUCCESS
    return arr


@pytest.mark.parametrize("symbol", SYMBOLS)
def test_flags_describe_each_change_and_select_ticks(client, symbol):
    a = ticks(client, symbol, NOW_MS - 3 * DAY_S * 1000, NOW_MS)
    assert len(a) > 1000
    assert np.all(np.diff(a["time_msc"]) > 0)
    assert np.all(a["time"] == a["time_msc"] // 1000)
    assert np.all(a["ask"] > a["bid"]) and np.all(a["bid"] > 0)
    f = a["flags"]
    quote = (f & (BID | ASK)) != 0
    deal = (f & VOLUME) != 0
    assert np.all(quote ^ deal), "a tick is a quote or a deal"
    # BID and ASK mark exactly the ticks whose bid or ask differs from the
    # tick before; deals leave the quote alone.
    assert np.array_equal((f[1:] & BID) != 0, np.diff(a["bid"]) != 0)
    assert np.array_equal((f[1:] & ASK) != 0, np.diff(a["ask"]) != 0)
    assert np.all((f[quote] & BID) != 0), "every quote tick moves the bid"
    # Deals: a side, a volume, the price they traded at as `last`.
    buy, sell = (f & BUY) != 0, (f & SELL) != 0
    assert np.array_equal(buy | sell, deal) and not np.any(buy & sell)
    assert np.all(a["last"][buy] == a["ask"][buy]) and np.all(a["last"][sell] == a["bid"][sell])
    assert np.all(a["volume"][deal] >= 1) and np.all(a["volume_real"][deal] > 0)
    assert np.all(a["volume"][quote] == 0) and np.all(a["volume_real"][quote] == 0)
    assert np.array_equal((f[1:] & LAST) != 0, np.diff(a["last"]) != 0)
    assert np.any(deal) == (symbol in WITH_DEALS)
    if symbol not in WITH_DEALS:
        assert np.all(a["last"] == 0)
    # The copy flags select the quotes or the deals.
    info = ticks(client, symbol, NOW_MS - 3 * DAY_S * 1000, NOW_MS, INFO)
    trade = ticks(client, symbol, NOW_MS - 3 * DAY_S * 1000, NOW_MS, TRADE)
    assert np.array_equal(info, a[quote]) and np.array_equal(trade, a[deal])


def test_same_request_same_bytes(client, launch):
    lo, hi = NOW_MS - 5 * DAY_S * 1000 + 777, NOW_MS - 3_600_000
    first = ticks(client, "BTCUSD", lo, hi).tobytes()
    assert ticks(client, "BTCUSD", lo, hi).tobytes() == first
    # Another Terminal, another installation, a later clock: the past is the same.
    other = launch(name="other", now=str(NOW_S + 40 * DAY_S))
    with other.client() as c:
        assert ticks(c, "BTCUSD", lo, hi).tobytes() == first


def test_copy_ticks_from_stops_at_count_or_now(client):
    start = NOW_MS - 2 * DAY_S * 1000 + 12_345
    result, got = client.ticks_from("EURUSD", start, 5000, ALL)
    assert result == tc.SUCCESS and len(got) == 5000
    assert got["time_msc"][0] >= start
    span = ticks(client, "EURUSD", start, got["time_msc"][-1])
    assert np.array_equal(got, span)
    result, deals = client.ticks_from("BTCUSD", start, 100, TRADE)
    assert len(deals) == 100 and np.all(deals["flags"] & VOLUME)
    result, got = client.ticks_from("EURUSD", NOW_MS - 10_000, 1_000_000, ALL)
    assert result == tc.SUCCESS and 0 < len(got) < 1000
    assert got["time_msc"][-1] <= NOW_MS
    assert np.array_equal(got, ticks(client, "EURUSD", NOW_MS - 10_000, 2**62))
    assert [len(client.ticks_from("XAUUSD", NOW_MS - 60_000, n, INFO)[1]) for n in (0, 1, 7)] == [0, 1, 7]
    for start in (2**63 - 1, -(2**63)):  # extreme start times
        result, got = client.ticks_from("EURUSD", start, 3, ALL)
        assert result == tc.SUCCESS and len(got) == (0 if start > 0 else 3)
        assert client.ticks_range("EURUSD", start, start, ALL)[1].size == 0


def test_range_is_inclusive_at_both_ends(client):
    a = ticks(client, "GBPUSD", NOW_MS - 600_000, NOW_MS)
    t_a, t_b = int(a["time_msc"][10]), int(a["time_msc"][-10])
    inner = ticks(client, "GBPUSD", t_a, t_b)
    assert inner["time_msc"][0] == t_a and inner["time_msc"][-1] == t_b
    assert len(inner) == len(a) - 19
    narrower = ticks(client, "GBPUSD", t_a + 1, t_b - 1)
    assert len(narrower) == len(inner) - 2
    single = ticks(client, "GBPUSD", t_a, t_a)
    assert len(single) == 1 and single["time_msc"][0] == t_a
    assert len(ticks(client, "BTCUSD", NOW_MS + 1, NOW_MS + 10**9)) == 0  # nothing after now
    assert len(ticks(client, "BTCUSD", NOW_MS, NOW_MS - 1)) == 0  # an empty range


def test_weekend_and_sessions(client):
    saturday = (NOW_S - 6 * DAY_S) * 1000  # 2024-03-09
    assert len(ticks(client, "EURUSD", saturday, saturday + DAY_S * 1000 - 1)) == 0
    assert len(ticks(client, "BTCUSD", saturday, saturday + DAY_S * 1000 - 1)) > 0
    thursday = ticks(client, "US500", (NOW_S - DAY_S - 12 * 3600) * 1000, (NOW_S - 12 * 3600) * 1000 - 1)
    minutes = (thursday["time"] % DAY_S) // 60
    assert minutes.min() >= 13 * 60 + 30 and minutes.max() < 20 * 60


def test_history_start(launch):
    terminal = launch("--history-start", "2024-03-13")
    with terminal.client() as c:
        assert len(ticks(c, "EURUSD", 0, 1710288000 * 1000 - 1)) == 0
        got = ticks(c, "EURUSD", 0, NOW_MS)
        assert got["time_msc"][0] >= 1710288000 * 1000
        assert len(ticks(c, "EURUSD", 946684800000 - 1, 946684800000 + 10**9)) == 0


@pytest.mark.parametrize("symbol, flags, count, code", [
    *[(name, ALL, 10, tc.NOT_FOUND) for name in ["eurusd", "", "EURUSD ", "X" * 29, "EUR\u00dcSD"]],
    *[("EURUSD", flags, 10, tc.INVALID_PARAMS) for flags in [0, 4, 7, -1, 0x10001]],
    ("EURUSD", ALL, -1, tc.INVALID_PARAMS),
])
def test_refusals(client, symbol, flags, count, code):
    assert client.ticks_from(symbol, NOW_MS - 60_000, count, flags) == (code, None)
    if count >= 0:
        assert client.ticks_range(symbol, 0, NOW_MS, flags) == (code, None)


def test_absurd_range_is_refused(launch):
    terminal = launch("--history-start", "2000-01-01")
    with terminal.client() as c:
        fifty_years = (NOW_S - 50 * 365 * DAY_S) * 1000
        assert c.ticks_range("EURUSD", fifty_years, NOW_MS, ALL) == (tc.OUT_OF_MEMORY, None)
        assert c.ticks_range("BTCUSD", -(2**63), 2**63 - 1, ALL) == (tc.OUT_OF_MEMORY, None)
        assert c.ticks_from("BTCUSD", 0, 2**31 - 1, ALL) == (tc.OUT_OF_MEMORY, None)
        assert c.ready_state() == 2


def test_response_limit_setting(launch):
    terminal = launch("--max-response-mb", "1")
    with terminal.client() as c:
        assert c.ticks_range("EURUSD", NOW_MS - DAY_S * 1000, NOW_MS, ALL) == (tc.OUT_OF_MEMORY, None)
        result, hour = c.ticks_range("EURUSD", NOW_MS - 3_600_000, NOW_MS, ALL)
        assert result == tc.SUCCESS and len(hour) > 0
        assert c.rates_range("BTCUSD", 1, 0, NOW_S) == (tc.OUT_OF_MEMORY, None)  # bars are bounded too
        assert c.rates_from_pos("BTCUSD", 1, 0, 100_000) == (tc.OUT_OF_MEMORY, None)
        assert c.rates_from_pos("BTCUSD", 1, 0, 10_000)[1].size == 10_000
