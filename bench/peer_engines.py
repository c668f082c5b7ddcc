"""The peers' side of bench/backtest_peers.py: the same rule in backtrader and
in backtesting.py, each in its own idiomatic style, over bars exported from
the bundled Terminal. Runs in the bench-only venv (bench/peers.sh), never in
the product's:

    build/bench-venv/bin/python bench/peer_engines.py ENGINE BARS.npy FIRST LAST

ENGINE is `backtrader` or `backtesting`; BARS.npy the exported bars (the
Terminal's bar records); the strategy trades on bars FIRST to LAST - 1 and
holds on after them (the bars before FIRST warm the averages up; one bar
after the last fills an order the last one gave, at its open, as both peers
fill a market order at the next bar's open). Prints one line of JSON:
{"seconds", "entries", "version"}: the seconds from handing the bars to the
engine to its finished result, and the entries the engine itself reports
(positions opened, long and short).

The rule is backtest_peers.py's (its doc says it in full): SMA 10 and SMA 30
of the closes; fast above slow by more than TIE and not long: close a short,
buy 0.1 lot (10 000 units); below by more than TIE and not short: close a
long, sell.
"""

from __future__ import annotations

import json
import sys
import time
import warnings

import numpy as np

FAST, SLOW = 10, 30
UNITS = 10_000  # 0.1 lot of EURUSD
CASH = 1_000_000.0  # as quorvane's account in backtest_peers.py
# Averages of prices on a 0.00001 grid that differ at all differ by at least
# 0.00001 / 30; closer than this they are equal, whatever the rounding.
TIE = 1e-9


def frame(bars: np.ndarray):
    import pandas as pd

    index = pd.to_datetime(bars["time"], unit="s")
    return pd.DataFrame({"Open": bars["open"], "High": bars["high"], "Low": bars["low"], "Close": bars["close"],
                         "Volume": bars["tick_volume"].astype(np.float64)}, index=index)


def run_backtrader(bars: np.ndarray, first: int, last: int) -> tuple[float, int, str]:
    import backtrader as bt

    class SmaFlip(bt.Strategy):
        def __init__(self) -> None:
            self.fast = bt.indicators.SMA(self.data.close, period=FAST)
            self.slow = bt.indicators.SMA(self.data.close, period=SLOW)
            self.entries = 0

        def notify_trade(self, trade) -> None:
            if trade.justopened:
                self.entries += 1

        def next(self) -> None:
            if not first < len(self) <= last:
                return
            gap = self.fast[0] - self.slow[0]
            size = self.position.size
            if gap > TIE and size <= 0:
                self.order_target_size(target=UNITS)
            elif gap < -TIE and size >= 0:
                self.order_target_size(target=-UNITS)

    began = time.perf_counter()
    cerebro = bt.Cerebro(stdstats=False)
    cerebro.adddata(bt.feeds.PandasData(dataname=frame(bars)))
    cerebro.addstrategy(SmaFlip)
    cerebro.broker.setcash(CASH)
    cerebro.broker.setcommission(commission=0.0, leverage=100.0)
    strategy = cerebro.run()[0]
    return time.perf_counter() - began, strategy.entries, bt.__version__


def run_backtesting(bars: np.ndarray, first: int, last: int) -> tuple[float, int, str]:
    import backtesting
    from backtesting import Backtest, Strategy
    from backtesting.test import SMA

    class SmaFlip(Strategy):
        def init(self) -> None:
            self.fast = self.I(SMA, self.data.Close, FAST)
            self.slow = self.I(SMA, self.data.Close, SLOW)

        def next(self) -> None:
            if not first < len(self.data) <= last:
                return
            gap = self.fast[-1] - self.slow[-1]
            position = self.position
            if gap > TIE and not position.is_long:
                position.close()
                self.buy(size=UNITS)
            elif gap < -TIE and not position.is_short:
                position.close()
                self.sell(size=UNITS)

    began = time.perf_counter()
    engine = Backtest(frame(bars), SmaFlip, cash=CASH, margin=0.01, commission=0.0)
    stats = engine.run()
    seconds = time.perf_counter() - began
    strategy = stats["_strategy"]
    return seconds, len(strategy.closed_trades) + len(strategy.trades), backtesting.__version__


def main() -> int:
    engine, path, first, last = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    bars = np.load(path)
    if not 0 < first < last < len(bars):
        raise SystemExit(f"bars {first} to {last} do not lie inside the {len(bars)} bars given, with one after")
    warnings.simplefilter("ignore")  # the peers' notes on data and plots are not results
    run = {"backtrader": run_backtrader, "backtesting": run_backtesting}[engine]
    # len(data) counts bars up to and including the current one: bar i is
    # the (i + 1)th, so the trading bars are those with FIRST < len <= LAST.
    seconds, entries, version = run(bars, first, last)
    print(json.dumps({"seconds": seconds, "entries": entries, "version": version}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
