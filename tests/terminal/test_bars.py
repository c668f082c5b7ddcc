"""Bar history: bars agree with the ticks inside them, and the three
request forms select the documented bars."""

from __future__ import annotations

import calendar
import time

import numpy as np
import pytest

import terminal_client as tc
from terminal_times import DAY_S, NOW_MS, NOW_S

M1, M5, M15, H1, H4, D1, W1, MN1 = 1, 5, 15, 60, 240, 1440, 10080, 43200
TIMEFRAMES = [1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 60, 120, 180, 240, 360, 480, 720, 1440, 10080, 43200]


def bars_range(client, symbol, tf, lo, hi):
    result, arr = client.rates_range(symbol, tf, lo, hi)
    assert result == tc.SUCCESS
    return arr


@pytest.mark.parametrize("symbol", ["EURUSD", "BTCUSD", "US500", "XAGUSD"])
@pytest.mark.parametrize("tf", [M1, M15, H1, H4, D1])
def test_bars_agree_with_their_ticks(client, symbol, tf):
    lo = NOW_S - 3 * DAY_S - (NOW_S % DAY_S)  # three whole days and today so far
    result, ticks = client.ticks_range(symbol, lo * 1000, NOW_MS, 3)
    assert result == tc.SUCCESS
    bars = bars_range(client, symbol, tf, lo, NOW_S)
    assert len(bars) > 0
    assert np.all(np.diff(bars["time"]) > 0)
    assert np.all(bars["time"] % (tf * 60) == 0)
    # Every tick falls in exactly one bar; bars without ticks do not exist.
    index = np.searchsorted(bars["time"], ticks["time"], side="right") - 1
    assert np.all(index >= 0)
    assert np.all(ticks["time"] < bars["time"][index] + tf * 60)
    counts = np.bincount(index, minlength=len(bars))
    assert np.array_equal(counts, bars["tick_volume"])
    first = np.searchsorted(index, np.arange(len(bars)), side="left")
    last = np.searchsorted(index, np.arange(len(bars)), side="right") - 1
    bid = ticks["bid"]
    assert np.array_equal(bars["open"], bid[first])
    assert np.array_equal(bars["close"], bid[last])
    assert np.array_equal(bars["high"], np.maximum.reduceat(bid, first))
    assert np.array_equal(bars["low"], np.minimum.reduceat(bid, first))
    assert np.array_equal(bars["real_volume"], np.add.reduceat(ticks["volume"].astype(np.int64), first))
    # The spread is the narrowest of the bar, in points.
    digits = {"EURUSD": 5, "BTCUSD": 2, "US500": 2, "XAGUSD": 3}[symbol]
    spread_points = np.rint((ticks["ask"] - ticks["bid"]) * 10**digits).astype(np.int64)
    assert np.array_equal(bars["spread"], np.minimum.reduceat(spread_points, first))


@pytest.mark.parametrize("tf", [W1, MN1])
def test_long_bars_agree_with_daily_bars(client, tf):
    lo = calendar.timegm((2023, 10, 1, 0, 0, 0))
    days = bars_range(client, "ETHUSD", D1, lo, NOW_S)
    longer = bars_range(client, "ETHUSD", tf, lo, NOW_S)
    for b in longer:
        nxt = b["time"] + 7 * DAY_S if tf == W1 else next_month(int(b["time"]))
        inside = days[(days["time"] >= b["time"]) & (days["time"] < nxt)]
        assert b["tick_volume"] == inside["tick_volume"].sum()
        assert (b["open"], b["close"]) == (inside["open"][0], inside["close"][-1])
        assert (b["high"], b["low"]) == (inside["high"].max(), inside["low"].min())


def next_month(t: int) -> int:
    y, m = time.gmtime(t)[:2]
    return calendar.timegm((y + m // 12, m % 12 + 1, 1, 0, 0, 0))


def test_period_starts_and_closed_periods(client):
    weeks = bars_range(client, "EURUSD", W1, NOW_S - 200 * DAY_S, NOW_S)
    assert all(time.gmtime(int(t)).tm_wday == 0 and t % DAY_S == 0 for t in weeks["time"])
    months = bars_range(client, "EURUSD", MN1, NOW_S - 800 * DAY_S, NOW_S)
    assert all(time.gmtime(int(t))[2:6] == (1, 0, 0, 0) for t in months["time"])
    days = bars_range(client, "EURUSD", D1, NOW_S - 60 * DAY_S, NOW_S)
    assert all(time.gmtime(int(t)).tm_wday < 5 for t in days["time"]), "no forex bars at weekends"
    # Open times from the first midnight after the start (the day bar that
    # opened before it is outside the range) to today's.
    assert len(bars_range(client, "BTCUSD", D1, NOW_S - 60 * DAY_S, NOW_S)) == 60
    # US500 has not opened today: its newest hourly bar is yesterday's last.
    _, bars = client.rates_from_pos("US500", H1, 0, 3)
    assert bars["time"][-1] == NOW_S - 12 * 3600 - 3600 * 5  # 19:00 on Thursday
    _, weekend = client.rates_from_pos("EURUSD", D1, 0, 6)
    days = [time.gmtime(int(t)).tm_wday for t in weekend["time"]]
    assert days == [4, 0, 1, 2, 3, 4]


@pytest.mark.parametrize("tf", TIMEFRAMES[:-2])  # W1 and MN1: test_period_starts_and_closed_periods
def test_from_pos_counts_back_from_the_bar_in_progress(client, tf):
    result, newest = client.rates_from_pos("BTCUSD", tf, 0, 10)
    assert result == tc.SUCCESS and len(newest) == 10
    assert newest["time"][-1] == NOW_S - NOW_S % (tf * 60)  # the bar holding "now"
    assert np.all(np.diff(newest["time"]) > 0)
    _, older = client.rates_from_pos("BTCUSD", tf, 4, 3)
    assert np.array_equal(older, newest[3:6])
    assert np.array_equal(newest, bars_range(client, "BTCUSD", tf, int(newest["time"][0]), NOW_S))


def test_copy_rates_from_and_range_bounds(client):
    date = NOW_S - 2 * DAY_S + 1234  # inside an H1 bar
    result, bars = client.rates_from("EURUSD", H1, date, 20)
    assert result == tc.SUCCESS and len(bars) == 20
    assert bars["time"][-1] == date - date % 3600  # the bar holding the date is included
    assert np.array_equal(bars, bars_range(client, "EURUSD", H1, int(bars["time"][0]), date))
    # A date after "now" stops at the bar in progress.
    _, latest = client.rates_from("BTCUSD", M1, NOW_S + 10 * DAY_S, 2)
    assert latest["time"][-1] == NOW_S - NOW_S % 60
    # Nothing before the history or after now.
    assert len(bars_range(client, "EURUSD", D1, 0, calendar.timegm((2019, 12, 31, 0, 0, 0)))) == 0
    assert len(bars_range(client, "EURUSD", M1, NOW_S + 60, NOW_S + 10**6)) == 0
    assert client.rates_from("EURUSD", D1, 0, 10)[1].size == 0
    result, few = client.rates_from_pos("EURUSD", MN1, 0, 1000)
    assert result == tc.SUCCESS and few["time"][0] == calendar.timegm((2020, 1, 1, 0, 0, 0))
    for count in (0, 1):  # small counts
        assert len(client.rates_from_pos("EURUSD", H1, 0, count)[1]) == count
        assert len(client.rates_from("EURUSD", H1, NOW_S, count)[1]) == count
    # Extreme dates: only the whole span of them holds bars.
    for lo, hi in [(2**63 - 100, 2**63 - 1), (-(2**63), -(2**63) + 100), (-(2**63), 2**63 - 1)]:
        result, bars = client.rates_range("EURUSD", MN1, lo, hi)
        assert result == tc.SUCCESS and (len(bars) > 0) == (hi - lo > 100)
        result, bars = client.rates_from("EURUSD", W1, lo, 3)
        assert result == tc.SUCCESS and len(bars) == (3 if lo > 0 else 0)


WED_08 = NOW_S - 2 * DAY_S - 4 * 3600  # Wednesday 2024-03-13 08:00, two days before the clock's


# A range includes both ends: bars of the clock's day are built from the
# ticks, those of the days before from the kept bars.
@pytest.mark.parametrize("tf, a, b", [
    (M5, NOW_S - 6600, NOW_S - 600),  # today: 10:10 .. 11:50
    (M1, WED_08, WED_08 + 300),
    (H1, WED_08, WED_08 + 6 * 3600),
    (D1, WED_08 - 8 * 3600 - 2 * DAY_S, WED_08 - 8 * 3600),  # Monday .. Wednesday
], ids=["today-M5", "kept-M1", "kept-H1", "kept-D1"])
def test_a_range_includes_both_ends(client, tf, a, b):
    step = tf * 60
    whole = bars_range(client, "EURUSD", tf, a, b)
    assert whole["time"].tolist() == list(range(a, b + 1, step))
    assert bars_range(client, "EURUSD", tf, a + 1, b - 1)["time"].tolist() == list(range(a + step, b, step))
    assert np.array_equal(bars_range(client, "EURUSD", tf, a, b + step - 1), whole)


@pytest.mark.parametrize("symbol, tf, start, count, code", [
    *[("EURUSD", tf, 0, 10, tc.INVALID_PARAMS) for tf in [0, 7, 16385, -1]],
    *[("EURUSD", H1, start, count, tc.INVALID_PARAMS) for start, count in [(-1, 10), (0, -1), (-5, -5)]],
    *[(name, H1, 0, 10, tc.NOT_FOUND) for name in ["NOPE", "eurusd", ""]],
])
def test_refusals(client, symbol, tf, start, count, code):
    assert client.rates_from_pos(symbol, tf, start, count) == (code, None)
    if (start, count) == (0, 10):  # the other forms take no position
        assert client.rates_from(symbol, tf, NOW_S, 10) == (code, None)
        assert client.rates_range(symbol, tf, 0, NOW_S) == (code, None)


# A long request is made into kept bars at its first call; windows inside it
# asked for beforehand lie far from anything kept and are built from the
# ticks. Both give the same bars.
@pytest.mark.parametrize("tf, count, span", [
    (M5, 20_000, DAY_S), (H1, 20_000, 3 * DAY_S), (D1, 1_200, 60 * DAY_S), (W1, 300, 180 * DAY_S),
    (MN1, 60, 365 * DAY_S),
])
def test_a_long_lookback_agrees_with_bars_built_from_the_ticks(client, tf, count, span):
    starts = [(2021, 2, 10, 7), (2022, 6, 30, 0), (2023, 12, 29, 13), (2024, 1, 22, 10)]
    windows = [bars_range(client, "EURUSD", tf, t, t + span)
               for t in (calendar.timegm((*start, 0, 0)) for start in starts)]
    result, long = client.rates_from_pos("EURUSD", tf, 0, count)
    assert result == tc.SUCCESS and len(long) == min(count, len(bars_range(client, "EURUSD", tf, 0, NOW_S)))
    inside = [w for w in windows if len(w) and w["time"][0] >= long["time"][0]]
    assert len(inside) == (2 if tf == M5 else 4)
    for window in inside:
        at = np.searchsorted(long["time"], window["time"][0])
        assert np.array_equal(long[at:at + len(window)], window)
