"""What a backtest leaves: the Terminal's deals and orders, the equity curve,
the statistics, data frames and a chart."""

from __future__ import annotations

import datetime as dt
import math
from typing import Any, Dict, NamedTuple, Optional, Sequence

import numpy as np

from .. import _core
from ..constants import DealEntry, DealType

# One row per step: the Terminal's clock after the step and the account then.
EQUITY_DTYPE = np.dtype([("time_msc", "<i8"), ("balance", "<f8"), ("equity", "<f8"), ("margin", "<f8")])

STATS = ("net_profit", "gross_profit", "gross_loss", "max_drawdown", "max_drawdown_pct", "sharpe", "trades",
         "win_rate", "profit_factor", "exposure")
_TRADING = (DealType.BUY, DealType.SELL)
_CLOSING = (DealEntry.OUT, DealEntry.INOUT, DealEntry.OUT_BY)
MISSING_MATPLOTLIB = 'matplotlib is not installed; install it with: pip install "quorvane[demo]"'


def _net(deal: Any) -> float:
    return float(deal.profit) + float(deal.commission) + float(deal.swap) + float(deal.fee)


def statistics(deals: Sequence[Any], equity: np.ndarray, deposit: float) -> Dict[str, float]:
    """The figures of ``Result.stats`` (see there for their definitions)."""
    trading = [d for d in deals if d.type in _TRADING]
    results = np.array([_net(d) for d in trading if d.entry in _CLOSING], dtype=np.float64)
    wins, losses = results[results > 0], results[results < 0]
    gross_profit, gross_loss = float(wins.sum()), float(losses.sum())
    curve = np.concatenate(([float(deposit)], equity["equity"]))
    peaks = np.maximum.accumulate(curve)
    drops = peaks - curve
    with np.errstate(divide="ignore", invalid="ignore"):
        drop_pct = np.where(peaks > 0, drops / peaks * 100.0, 0.0)
        returns = curve[1:] / curve[:-1] - 1.0 if len(curve) > 1 else np.zeros(0)
    returns = returns[np.isfinite(returns)]
    spread = float(returns.std(ddof=1)) if len(returns) > 1 else 0.0
    if gross_loss < 0:
        factor = gross_profit / -gross_loss
    else:
        factor = math.inf if gross_profit > 0 else 0.0
    return {
        "net_profit": round(sum(_net(d) for d in trading), 8),
        "gross_profit": round(gross_profit, 8),
        "gross_loss": round(gross_loss, 8),
        "max_drawdown": round(float(drops.max()), 8),
        "max_drawdown_pct": float(drop_pct.max()),
        "sharpe": float(returns.mean() / spread) if spread > 0 else 0.0,
        "trades": int(len(results)),
        "win_rate": float(len(wins) / len(results)) if len(results) else 0.0,
        "profit_factor": float(factor),
        "exposure": float((equity["margin"] > 0).mean()) if len(equity) else 0.0,
    }


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

    ``stats``, in the account currency unless said otherwise. A *trade* is a
    closing deal (entry OUT, INOUT or OUT_BY) and its *result* that deal's
    profit + commission + swap + fee:

    - ``net_profit``: the sum of profit + commission + swap + fee over all
      buy and sell deals, closing or not (so the opening deals' commissions
      count): the final balance less the deposit. Positions still open are
      not in it (they are in the equity curve).
    - ``gross_profit`` / ``gross_loss``: the sum of the positive / negative
      trade results (``gross_loss`` ≤ 0).
    - ``max_drawdown``: the largest fall of equity from its highest point so
      far, over the curve that starts at the deposit and has one point per
      step; ``max_drawdown_pct``: the largest such fall in percent of that
      highest point (the two may come from different falls).
    - ``sharpe``: mean / standard deviation (n − 1) of the per-step returns
      equity[i] / equity[i − 1] − 1 (the first against the deposit), not
      annualised and without a risk-free rate; multiply by √(bars a year)
      to annualise. 0.0 when the equity never changed.
    - ``trades``: the number of trades; ``win_rate``: the share of them with
      a result above 0 (0.0 without trades).
    - ``profit_factor``: ``gross_profit / -gross_loss``; inf without losing
      trades but with winning ones, 0.0 without either.
    - ``exposure``: the share of steps after which the account had margin in
      use (a position open).
    """

    def __init__(self, *, deals: Sequence[Any], orders: Sequence[Any], positions: Sequence[Any],
                 pending: Sequence[Any], equity: np.ndarray, deposit: float, currency: str,
                 symbols: Sequence[str], timeframe: int, start_ms: int, end_ms: int) -> None:
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
        self.stats = statistics(deals, equity, deposit)

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={v:.4g}" if isinstance(v, float) else f"{k}={v}" for k, v in self.stats.items())
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

    def plot(self, path: str, *, title: Optional[str] = None) -> None:
        """Writes a PNG chart of the equity and balance curves over the
        drawdown in percent to ``path``. Needs matplotlib (``pip install
        "quorvane[demo]"``); raises ImportError without it."""
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
