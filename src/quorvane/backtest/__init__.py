"""Backtesting on the same API: a private Terminal whose clock moves bar by bar.

    import quorvane as qv
    from quorvane import backtest, trade

    def on_bar(symbol, bars):
        fast, slow = bars["close"][-10:].mean(), bars["close"][-30:].mean()
        held = qv.positions_get(symbol=symbol)
        if fast > slow and not held:
            trade.buy(symbol, 0.1)
        elif fast < slow and held:
            trade.close(held[0])

    result = backtest.run(on_bar, "EURUSD", qv.Timeframe.H1, "2025-01-06", "2025-04-07")
    print(result.stats)
    result.plot("equity.png")

The strategy calls the ordinary functions; in a backtest they talk to a
private Terminal (by default inside this process) whose market clock stands
at the close of the bar being handled, so the same ``on_bar`` runs unchanged against a
running Terminal (see ``examples/ma_crossover.py``).

- ``run``: one backtest, a ``Result`` (deals, orders, equity, trades, stats, frames, chart, HTML report).
- ``run_ticks``: one backtest of a strategy called on every tick, the same ``Result``.
- ``sweep``: one backtest per parameter set, in worker processes or on Dask.
- ``walk_forward``: the grid swept on rolling or anchored training windows, the
  best set traded on the test window after each, one out-of-sample ``Result``.
- ``import_ticks``: your own ticks as a custom symbol for ``run(..., data=FOLDER)``.
"""

from ._clock import ClockError
from ._result import EQUITY_DTYPE, Frames, Result
from ._stats import STATS, Market, Trade
from ._run import run
from ._ticks import run_ticks
from ._sweep import Table, sweep
from ._terminal import BacktestError
from ._tickdata import Imported, TickDataError, import_ticks
from ._walk import WalkResult, walk_forward

__all__ = ["run", "run_ticks", "sweep", "walk_forward", "import_ticks", "Result", "WalkResult", "Frames", "Trade", "Market",
           "Table", "Imported", "BacktestError", "ClockError", "TickDataError", "EQUITY_DTYPE", "STATS"]
