"""quorvane.backtest.run_ticks: a strategy called on every tick, on a lazy
clock: fills at the tick, stops between callbacks at their true tick, what a
query sees, the ticks' order across symbols, and the same run inside this
process and apart."""

from __future__ import annotations

import hashlib

import numpy as np
import pytest

import quorvane as qv
from quorvane import backtest, trade

T0 = 1_767_571_200_000  # 2026-01-05 00:00 UTC, a Monday
MIN = 60_000
# (time_msc, bid, ask): a buy at tick 2, a query at tick 3, a stop at 1.0990 that
# tick 5 gaps through, and two ticks sharing a millisecond (6 and 7).
TICKS = [(T0 + 1000, 1.1000, 1.1001), (T0 + MIN, 1.1002, 1.1003), (T0 + 2 * MIN, 1.1004, 1.1005),
         (T0 + 3 * MIN, 1.1003, 1.1004), (T0 + 4 * MIN, 1.1001, 1.1002), (T0 + 5 * MIN, 1.0985, 1.0986),
         (T0 + 6 * MIN + 7, 1.0990, 1.0991), (T0 + 6 * MIN + 7, 1.0992, 1.0993), (T0 + 7 * MIN, 1.0995, 1.0996)]


@pytest.fixture
def myeur(private_folders):
    rows = [f"{t},{bid:.4f},{ask:.4f}" for t, bid, ask in TICKS]
    (private_folders / "ticks.csv").write_text("time_msc,bid,ask\n" + "\n".join(rows) + "\n")
    data = private_folders / "data"
    backtest.import_ticks(data, "MYEUR", private_folders / "ticks.csv", like="EURUSD")
    return data


def deal(d):
    return (d.time_msc, d.type, d.entry, d.reason, d.volume, d.price, d.profit, d.comment)


@pytest.mark.parametrize("in_process", [True, False], ids=["inside", "apart"])
def test_hand_checked_tick_run(terminal_binary, private_folders, myeur, in_process):
    seen = []

    def on_tick(symbol, tick):
        seen.append((symbol, int(tick["time_msc"]), float(tick["bid"]), float(tick["ask"])))
        if len(seen) == 3:
            trade.buy(symbol, 1.0, sl=1.0990, check=True)
        elif len(seen) == 4:
            held, quote = qv.positions_get(symbol=symbol), qv.symbol_info_tick(symbol)
            seen.append((len(held), held[0].price_open, held[0].price_current, held[0].profit, quote.time_msc))
        elif len(seen) == 8:  # tick 6, sharing its millisecond with tick 7
            trade.sell(symbol, 1.0, check=True)

    result = backtest.run_ticks(on_tick, "MYEUR", T0 / 1000, T0 / 1000 + 3600, data=myeur,
                                terminal=None if in_process else terminal_binary, folder=str(private_folders))
    calls = [s for s in seen if len(s) == 4]
    assert calls == [("MYEUR", t, bid, ask) for t, bid, ask in TICKS]
    # At tick 3 the position bought at tick 2's ask is valued at tick 3's bid.
    assert seen[4] == (1, 1.1005, 1.1003, -20.0, T0 + 3 * MIN)
    opening, stop, sold = result.deals[1:]
    assert deal(opening) == (T0 + 2 * MIN, qv.DealType.BUY, qv.DealEntry.IN, qv.DealReason.EXPERT, 1.0, 1.1005,
                             0.0, "")
    # The stop: at tick 5, the first at or below it, at that tick's bid, with no callback asking.
    assert deal(stop) == (T0 + 5 * MIN, qv.DealType.SELL, qv.DealEntry.OUT, qv.DealReason.SL, 1.0, 1.0985,
                          -200.0, "[sl]")
    # The clock moves in whole milliseconds: an order at tick 6 fills at the last tick of its millisecond.
    assert deal(sold) == (T0 + 6 * MIN + 7, qv.DealType.SELL, qv.DealEntry.IN, qv.DealReason.EXPERT, 1.0,
                          1.0992, 0.0, "")
    # One equity row at each M1 bar's end with ticks: commission 2.50 a side, a pip 10.00, a sell valued at the ask.
    assert result.equity.tolist() == [
        (T0 + MIN - 1, 10000.0, 10000.0, 0.0), (T0 + 2 * MIN - 1, 10000.0, 10000.0, 0.0),
        (T0 + 3 * MIN - 1, 9997.5, 9997.5 - 10.0, 1100.5), (T0 + 4 * MIN - 1, 9997.5, 9997.5 - 20.0, 1100.5),
        (T0 + 5 * MIN - 1, 9997.5, 9997.5 - 40.0, 1100.5), (T0 + 6 * MIN - 1, 9795.0, 9795.0, 0.0),
        (T0 + 7 * MIN - 1, 9792.5, 9792.5 - 10.0, 1099.2), (T0 + 8 * MIN - 1, 9792.5, 9792.5 - 40.0, 1099.2)]

    def on_bar(symbol, bars):  # the same stop bought by run() at the close of the 00:02 bar
        if bars["time"][-1] == (T0 + 2 * MIN) // 1000:
            trade.buy(symbol, 1.0, sl=1.0990, check=True)

    barred = backtest.run(on_bar, "MYEUR", qv.Timeframe.M1, T0 / 1000, T0 / 1000 + 3600, data=myeur,
                          terminal=None if in_process else terminal_binary, folder=str(private_folders))
    assert deal(barred.deals[2]) == deal(stop)


def test_two_symbols_in_time_order_the_same_inside_and_apart(terminal_binary, private_folders):
    start, end = "2026-01-12T08:00", "2026-01-12T10:00"
    options = dict(start=start, end=end, folder=str(private_folders))
    calls = []

    def on_tick(symbol, tick):
        calls.append((symbol, int(tick["time_msc"]), float(tick["bid"]), float(tick["ask"])))
        if len(calls) % 500 == 0:
            held = qv.positions_get(symbol=symbol)
            if held:
                trade.close(held[0], check=True)
            else:
                trade.buy(symbol, 0.1, check=True)

    inside = backtest.run_ticks(on_tick, ["GBPUSD", "EURUSD"], **options)
    got, calls = calls, []
    apart = backtest.run_ticks(on_tick, ["GBPUSD", "EURUSD"], terminal=terminal_binary, **options)
    assert calls == got
    assert inside.deals == apart.deals and inside.orders == apart.orders
    assert inside.equity.tobytes() == apart.equity.tobytes()
    digest = hashlib.sha256(repr((inside.deals, inside.orders)).encode() + inside.equity.tobytes()).hexdigest()
    assert digest == "6a763e6d66fcdfb37847edfbcba7ae6aaa9d156c0ae8672a35322bc50a367662"
    # Every tick copy_ticks_range gives at the end, merged by time, GBPUSD first at one millisecond.
    every = {}

    def on_bar(symbol, bars):
        if bars["time"][-1] == 1768212000 - 3600:
            every[symbol] = qv.copy_ticks_range(symbol, 1768204800, 1768212000, qv.CopyTicks.ALL)

    backtest.run(on_bar, ["GBPUSD", "EURUSD"], qv.Timeframe.H1, start, end, folder=str(private_folders))
    rows = [(t, 0 if s == "GBPUSD" else 1, s, b, a) for s in every for t, b, a in
            zip(every[s]["time_msc"].tolist(), every[s]["bid"].tolist(), every[s]["ask"].tolist())
            if 1768204800000 < t <= 1768212000000]
    assert calls == [(s, t, b, a) for t, _, s, b, a in sorted(rows)]
    assert (len(every["GBPUSD"]), len(every["EURUSD"]), len(calls)) == (3651, 6044, 9695)


def test_ticks_ahead_and_the_lazy_clock_on_a_clock_that_is_not_stepped(frozen, core):
    assert core._ticks_ahead("EURUSD", T0, T0 + MIN) is None and core.last_error() == (-7, "Terminal: Unsupported function")
    with pytest.raises(TypeError, match=r"^_lazy_clock\(target_ms >= 0\[, tuple of symbol names\]\)$"):
        core._lazy_clock(-1)
    assert core.last_error() == (-7, "Terminal: Unsupported function")  # a call's, not the driver's
    # The next request moves the clock first; the refused move is its answer, and is not tried again.
    assert core._lazy_clock(T0, ("EURUSD",)) is True
    assert core.symbol_info_tick("EURUSD") is None and core.last_error() == (-7, "Terminal: Unsupported function")
    assert core.symbol_info_tick("EURUSD").time_msc > 0 and core.last_error() == (1, "Success")
