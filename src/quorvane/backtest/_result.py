"""What a backtest leaves: the Terminal's deals and orders, the equity curve,
the trades and statistics, data frames, a chart and a report."""

from __future__ import annotations

import datetime as dt
import os
import textwrap
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence

import numpy as np

from .. import _core
# STATS and statistics are also reached from here (the sweep, older callers).
from ._stats import DEFINITIONS, HEADLINE, Market, Trade, trades_of
from ._stats import STATS as STATS
from ._stats import statistics as statistics

# One row per step: the Terminal's clock after the step and the account then.
EQUITY_DTYPE = np.dtype([("time_msc", "<i8"), ("balance", "<f8"), ("equity", "<f8"), ("margin", "<f8")])

MISSING_MATPLOTLIB = 'matplotlib is not installed; install it with: pip install matplotlib'


class Frames(NamedTuple):
    """``Result.to_pandas()``: a DataFrame of each part, the stats as a Series."""

    deals: Any
    orders: Any
    equity: Any
    stats: Any


class Result:
    """A finished backtest.

    ``deals`` and ``orders``: the Terminal's own records of the account's
    history (``TradeDeal`` and ``TradeOrder`` tuples, as
    ``history_deals_get`` and ``history_orders_get`` return them), the first
    deal being the deposit; ``positions`` and ``pending``: the positions and
    pending orders still open at the end. ``equity``: a NumPy array with one
    row per step, ``time_msc`` (the clock after the step: the last
    millisecond of the bar), ``balance``, ``equity`` and ``margin`` of the
    account after ``on_bar`` had run for that step.

    ``trades``: a list of ``Trade`` (see there), one per closing deal, in
    the order they closed; ``pandas.DataFrame(result.trades)`` makes a
    frame of them. ``market``: the symbols' bars the run handled (a
    ``Market``); ``settings``: the run's arguments (symbols, timeframe,
    period, deposit, currency, leverage, hedging, lookback, data).

    ``stats``: a dict of the figures below, in that order; money in the
    account currency, percentages as 12.5 for 12.5 %, times as UTC
    datetimes and durations as timedeltas. A *trade* is a closing deal
    (entry OUT, INOUT or OUT_BY) and the part of the position it closed; its
    *result* is the deal's profit + swap + commission + fee (an INOUT deal,
    which closes a netting position and opens the rest the other way, counts
    the share of its commission and fee of the volume it closed, so that
    netting and hedging accounts give the same figures for the same trades).
    A *step* is one bar of the run: the per-step returns are equity[i] /
    equity[i - 1] - 1, the first against the deposit.

    {definitions}
    """

    def __init__(self, *, deals: Sequence[Any], orders: Sequence[Any], positions: Sequence[Any],
                 pending: Sequence[Any], equity: np.ndarray, deposit: float, currency: str,
                 symbols: Sequence[str], timeframe: int, start_ms: int, end_ms: int,
                 market: Optional[Market] = None, settings: Optional[Mapping[str, Any]] = None) -> None:
        self.deals = deals
        self.orders = orders
        self.positions = positions
        self.pending = pending
        self.equity = equity
        self.deposit = deposit
        self.currency = currency
        self.symbols = tuple(symbols)
        self.timeframe = timeframe
        self.start_ms = start_ms
        self.end_ms = end_ms
        self.market = market
        self.settings: Dict[str, Any] = dict(settings or {})
        self.trades: List[Trade] = trades_of(deals, market)
        self.stats: Dict[str, Any] = statistics(deals, equity, deposit, start_ms=start_ms, market=market,
                                                trades=self.trades)

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={self.stats[k]:.4g}" if isinstance(self.stats[k], float) else f"{k}={self.stats[k]}"
                          for k in HEADLINE)
        return f"<backtest Result of {','.join(self.symbols)}: {len(self.equity)} steps, {shown}>"

    def to_pandas(self) -> Frames:
        """DataFrames of ``deals``, ``orders`` and ``equity`` (times as UTC
        datetimes, through ``quorvane.frames``) and ``stats`` as a Series."""
        from .. import _front
        from ..frames import to_pandas

        deals = to_pandas(_front.TradeDeals(self.deals))
        orders = to_pandas(_front.TradeOrders(self.orders))
        equity = to_pandas(self.equity)
        import pandas  # to_pandas has checked it is there

        return Frames(deals, orders, equity, pandas.Series(self.stats, name="stats"))

    def report(self, path: "str | os.PathLike[str]", *, title: Optional[str] = None) -> None:
        """Writes one self-contained HTML file to ``path``: the equity and
        balance curves over the drawdown, the monthly returns (year x month),
        the distribution of the trade results, the trades with their
        excursions and durations, every statistic with its definition and the
        settings of the run. The charts are Plotly's, with its library inlined:
        the file opens with no network. Needs plotly (``pip install
        plotly``, or ``pip install "quorvane[report]"``); raises ImportError
        without it."""
        from ._report import write_report

        write_report(self, path, title=title)

    def _repr_html_(self) -> str:
        """A notebook's view: the main statistics as a compact table beside a
        small equity chart (the chart needs matplotlib; without it the table
        alone)."""
        from ._report import notebook_html

        return notebook_html(self)

    def plot(self, path: str, *, title: Optional[str] = None) -> None:
        """Writes a PNG chart of the equity and balance curves over the
        drawdown in percent to ``path``. Needs matplotlib (``pip install
        matplotlib``); raises ImportError without it."""
        try:
            import matplotlib

            matplotlib.use("Agg")  # files only; never needs a display
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError(MISSING_MATPLOTLIB) from None
        times = [dt.datetime.fromtimestamp(self.start_ms / 1000, dt.timezone.utc)]
        times += [dt.datetime.fromtimestamp(int(t) / 1000, dt.timezone.utc) for t in self.equity["time_msc"]]
        equity = np.concatenate(([self.deposit], self.equity["equity"]))
        balance = np.concatenate(([self.deposit], self.equity["balance"]))
        peaks = np.maximum.accumulate(equity)
        with np.errstate(divide="ignore", invalid="ignore"):
            drawdown = np.where(peaks > 0, (equity - peaks) / peaks * 100.0, 0.0)
        fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 6.5), dpi=100, sharex=True,
                                          gridspec_kw={"height_ratios": [3, 1]})
        try:
            top.plot(times, equity, color="#1f77b4", linewidth=1.0, label="equity")
            top.plot(times, balance, color="#7f7f7f", linewidth=0.8, label="balance")
            top.set_ylabel(f"account ({self.currency})")
            top.legend(loc="upper left")
            top.grid(True, color="#e0e0e0", linewidth=0.6)
            stats = self.stats
            top.set_title(title or (f"{', '.join(self.symbols)}: net profit {stats['net_profit']:.2f} "
                                    f"{self.currency}, {stats['trades']} trades, max drawdown "
                                    f"{stats['max_drawdown_pct']:.2f} %"))
            bottom.fill_between(times, drawdown, 0.0, color="#ef5350", alpha=0.5, linewidth=0)
            bottom.set_ylabel("drawdown (%)")
            bottom.set_xlabel("time (UTC)")
            bottom.grid(True, color="#e0e0e0", linewidth=0.6)
            fig.autofmt_xdate()
            fig.tight_layout()
            fig.savefig(path, format="png")
        finally:
            plt.close(fig)


def _definitions() -> str:
    lines: List[str] = []
    for name, _, text in DEFINITIONS:
        lines += textwrap.wrap(f"- ``{name}``: {text}.", 78, initial_indent="    ", subsequent_indent="      ",
                               break_on_hyphens=False)
    return "\n".join(lines)


Result.__doc__ = (Result.__doc__ or "").replace("{definitions}\n", _definitions().lstrip() + "\n")


def history(deposit: float) -> tuple[Any, Any, Any, Any]:
    """The account's deals, history orders, positions and pending orders,
    read from the connected Terminal."""
    last = 2**31 - 1
    parts = (_core.history_deals_get(0, last), _core.history_orders_get(0, last), _core.positions_get(),
             _core.orders_get())
    if any(p is None for p in parts):
        code, message = _core.last_error()
        raise RuntimeError(f"reading the backtest's history failed: ({code}, {message!r})")
    return parts
