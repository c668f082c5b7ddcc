"""The figures of a backtest: its trades, built from the Terminal's deals,
and the statistics of ``Result.stats``, from the trades, the equity rows
and the symbols' bars of the run."""

from __future__ import annotations

import calendar
import datetime as dt
import math
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .. import _core
from ..constants import DealEntry, DealType, PositionType, Timeframe

_TRADING = (DealType.BUY, DealType.SELL)
_CLOSING = (DealEntry.OUT, DealEntry.INOUT, DealEntry.OUT_BY)
_DAY_MS = 86_400_000
_YEAR_MS = 365.25 * _DAY_MS
_NO_VOLUME = 1e-9  # volumes are multiples of 0.01 lot or finer; below this a position is closed

# Every statistic of Result.stats, in the order of the dict: its name, the kind
# of figure (how the report shows it) and its definition, which
# help(backtest.Result) and the report print. A *trade* is a closing deal
# (entry OUT, INOUT or OUT_BY) and the part of the position it closed; its
# *result* is the deal's profit + swap + its commission and fee (of an INOUT
# deal, which closes a netting position and opens the rest the other way,
# the share of the closed volume).
DEFINITIONS: Tuple[Tuple[str, str, str], ...] = (
    ("start", "time", "when the run starts: its start argument (a UTC datetime)"),
    ("end", "time", "the close of the last bar the run handled (its last step's clock + 1 ms); start when it "
                    "handled none"),
    ("duration", "duration", "end - start (a timedelta)"),
    ("exposure", "share", "the share of steps after which the account had margin in use (a position open)"),
    ("final_equity", "money", "the equity after the last step (the deposit when there was none)"),
    ("peak_equity", "money", "the highest equity of the curve, the deposit included"),
    ("net_profit", "money", "the sum of profit + commission + swap + fee over all buy and sell deals, closing or "
                            "not (so the opening deals' commissions count): the final balance less the deposit. "
                            "Positions still open are not in it (they are in the equity curve)"),
    ("return_pct", "pct", "(final_equity / deposit - 1) x 100: the return of the run, open positions included"),
    ("buy_and_hold_pct", "pct", "(last close / first open - 1) x 100 over the bars of the symbol the run handled: "
                                "what holding the symbol from the first bar's open to the last bar's close gave; "
                                "with several symbols the mean of theirs; nan without bars"),
    ("cagr_pct", "pct", "compound annual growth rate: ((final_equity / deposit) ^ (1 / years) - 1) x 100, years "
                        "being duration / 365.25 days; -100.0 when the equity ended at or below 0"),
    ("periods_per_year", "number", "the steps a year of the run: steps / years; the annualised figures below are "
                                   "per-step figures scaled by it (for H1 bars of a currency pair about 6 200)"),
    ("annual_return_pct", "pct", "the mean per-step return x periods_per_year x 100 (arithmetic, the numerator "
                                 "of sharpe_annual)"),
    ("annual_volatility_pct", "pct", "the standard deviation (n - 1) of the per-step returns x "
                                     "sqrt(periods_per_year) x 100"),
    ("sharpe", "ratio", "mean / standard deviation (n - 1) of the per-step returns equity[i] / equity[i - 1] - 1 "
                        "(the first against the deposit), per step, not annualised, without a risk-free rate; "
                        "0.0 when the equity never changed"),
    ("sharpe_annual", "ratio", "sharpe x sqrt(periods_per_year), the per-step Sharpe ratio annualised over the "
                               "run's steps a year (= annual_return_pct / annual_volatility_pct); no risk-free "
                               "rate"),
    ("sortino_annual", "ratio", "the mean per-step return / the downside deviation x sqrt(periods_per_year); the "
                                "downside deviation is sqrt(mean of min(return, 0)^2) over all steps; inf without "
                                "a falling step but with a rise, 0.0 without either"),
    ("calmar", "ratio", "cagr_pct / max_drawdown_pct; inf without a drawdown but with growth"),
    ("max_drawdown", "money", "the largest fall of equity from its highest point so far, over the curve that "
                              "starts at the deposit and has one point per step"),
    ("max_drawdown_pct", "pct", "the largest such fall in percent of that highest point (the two may come from "
                                "different falls)"),
    ("max_drawdown_duration", "duration", "the longest drawdown: from the step where the equity last stood at "
                                          "its peak to the first step back at or above it (to the last step if "
                                          "it never came back)"),
    ("avg_drawdown", "money", "the mean depth of the drawdowns, each drawdown being a run of steps below the "
                              "peak as above"),
    ("avg_drawdown_pct", "pct", "the mean depth of the drawdowns in percent of their peak"),
    ("avg_drawdown_duration", "duration", "the mean duration of the drawdowns"),
    ("recovery_factor", "ratio", "net_profit / max_drawdown; inf without a drawdown but with a profit"),
    ("trades", "count", "the number of trades"),
    ("win_rate", "share", "the share of the trades with a result above 0 (0.0 without trades)"),
    ("gross_profit", "money", "the sum of the positive trade results"),
    ("gross_loss", "money", "the sum of the negative trade results (<= 0)"),
    ("profit_factor", "ratio", "gross_profit / -gross_loss; inf without losing trades but with winning ones, "
                               "0.0 without either"),
    ("best_trade", "money", "the highest trade result (0.0 without trades)"),
    ("worst_trade", "money", "the lowest trade result (0.0 without trades)"),
    ("avg_trade", "money", "the mean trade result: the expected payoff of a trade (0.0 without trades)"),
    ("avg_win", "money", "the mean result of the winning trades (0.0 without any)"),
    ("avg_loss", "money", "the mean result of the losing trades (<= 0; 0.0 without any)"),
    ("avg_trade_duration", "duration", "the mean time a trade's position was open: the closing deal's time less "
                                       "the time the position opened (its first opening deal)"),
    ("max_trade_duration", "duration", "the longest such time"),
    ("expectancy", "ratio", "avg_trade / -avg_loss: what a trade gives in units of the average loss (R); inf "
                            "without losing trades but with a positive mean"),
    ("sqn", "ratio", "system quality number: sqrt(trades) x mean / standard deviation (n - 1) of the trade "
                     "results; 0.0 with fewer than two trades or results all equal"),
    ("kelly", "ratio", "the Kelly fraction win_rate - (1 - win_rate) / (avg_win / -avg_loss): the share of "
                       "capital to risk a trade; win_rate without losing trades, -inf without winning ones, 0.0 "
                       "without either"),
    ("max_win_streak", "count", "the longest run of consecutive winning trades (by closing time; a trade with "
                                "result 0 ends a run)"),
    ("max_loss_streak", "count", "the longest run of consecutive losing trades"),
    ("long_trades", "count", "the number of trades that closed long positions (bought, then sold)"),
    ("long_gross_profit", "money", "the sum of the positive results of those"),
    ("long_gross_loss", "money", "the sum of their negative results"),
    ("short_trades", "count", "the number of trades that closed short positions (sold, then bought back)"),
    ("short_gross_profit", "money", "the sum of the positive results of those"),
    ("short_gross_loss", "money", "the sum of their negative results"),
)
STATS = tuple(name for name, _, _ in DEFINITIONS)
# The first figures ever given, shown by repr(result).
HEADLINE = ("net_profit", "gross_profit", "gross_loss", "max_drawdown", "max_drawdown_pct", "sharpe", "trades",
            "win_rate", "profit_factor", "exposure")


class Trade(NamedTuple):
    """One trade of ``Result.trades``: a closing deal and the part of the
    position it closed. Times in milliseconds since 1970 (UTC); money in the
    account currency. ``side``: ``PositionType.BUY`` for a long position,
    ``SELL`` for a short one. ``entry_price``: the position's opening price
    (the volume-weighted mean when a netting position was added to);
    ``entry_time_msc``: when the position opened. ``profit`` and ``swap``:
    the closing deal's; ``commission`` and ``fee``: its, or an INOUT deal's
    share of the closed volume. ``result`` = profit + commission + swap +
    fee. ``mae`` / ``mfe``: the lowest (<= 0) / highest (>= 0) floating
    profit of the closed volume while the position was open, from the highs
    and lows of the run's bars of its timeframe (the bid; the ask for a short
    taken as bid + the bar's narrowest spread), entry and exit prices
    included, at the money per point the trade's own profit implies (nan
    without bars)."""

    symbol: str
    side: int
    volume: float
    entry_time_msc: int
    entry_price: float
    exit_time_msc: int
    exit_price: float
    profit: float
    commission: float
    swap: float
    fee: float
    result: float
    mae: float
    mfe: float
    position_id: int

    @property
    def duration(self) -> dt.timedelta:
        """How long the position was open before this trade."""
        return dt.timedelta(milliseconds=self.exit_time_msc - self.entry_time_msc)


class Market(NamedTuple):
    """The symbols' bars the run handled (those closing after the start and by
    the end) and, per symbol, its point and the account money one lot makes
    per 1.0 of price (tick value / tick size at the end of the run)."""

    timeframe: int
    bars: Dict[str, np.ndarray]
    points: Dict[str, float]
    values: Dict[str, float]


def _bar_closes(times: np.ndarray, timeframe: int) -> np.ndarray:
    """The closing times (ms) of bars of ``timeframe`` opening at ``times``
    (POSIX seconds): a month's bar closes when the next month begins."""
    times = times.astype(np.int64)
    if timeframe != Timeframe.MN1:
        return (times + timeframe * 60) * 1000
    closes = []
    for opened in times.tolist():
        day = dt.datetime.fromtimestamp(opened, dt.timezone.utc)
        year, month = (day.year + 1, 1) if day.month == 12 else (day.year, day.month + 1)
        closes.append(calendar.timegm((year, month, 1, 0, 0, 0)) * 1000)
    return np.array(closes, dtype=np.int64)


def read_market(names: Sequence[str], timeframe: int, start_ms: int, end_ms: int,
                closed: Optional[Dict[str, np.ndarray]] = None) -> Market:
    """Reads from the connected Terminal, at the end of a run, the bars of
    each symbol the run handled and what converts their prices to money.
    A symbol's bars in ``closed`` (those the run's steps brought, the same
    the Terminal serves) are taken from there instead."""
    bars: Dict[str, np.ndarray] = {}
    points: Dict[str, float] = {}
    values: Dict[str, float] = {}
    # Far enough back to hold the bar the start falls in (a month at most).
    first = start_ms // 1000 - (timeframe * 60 if timeframe <= 1440 else 32 * 86400)
    for name in names:
        rates = closed[name] if closed and name in closed else \
            _core.copy_rates_range(name, timeframe, max(first, 0), end_ms // 1000)
        info = _core.symbol_info(name)
        if rates is None or info is None:
            code, message = _core.last_error()
            raise RuntimeError(f"reading the backtest's bars of {name!r} failed: ({code}, {message!r})")
        closes = _bar_closes(rates["time"], timeframe)
        bars[name] = rates[(closes > start_ms) & (closes <= end_ms)]
        points[name] = float(info.point)
        values[name] = float(info.trade_tick_value / info.trade_tick_size) if info.trade_tick_size > 0 else 0.0
    return Market(timeframe, bars, points, values)


class _Open:
    """A position while the deals are replayed: its side, volume left,
    opening price (volume-weighted) and opening time."""

    __slots__ = ("side", "volume", "price", "time_msc")

    def __init__(self, side: int, volume: float, price: float, time_msc: int) -> None:
        self.side, self.volume, self.price, self.time_msc = side, volume, price, time_msc


def _side_of(deal_type: int) -> int:
    return PositionType.BUY if deal_type == DealType.BUY else PositionType.SELL


class _Excursions:
    """The lowest and highest floating profit of trades, from one symbol's
    bars of the run. The bars each trade spans are found, and their lowest
    low and highest high taken, for all of a symbol's trades at once: one
    search and one reduction over the bars, not a few NumPy calls a trade."""

    def __init__(self, bars: np.ndarray, timeframe: int, point: float, value: float) -> None:
        self.opens = bars["time"].astype(np.int64) * 1000
        self.closes = _bar_closes(bars["time"], timeframe)
        spread = bars["spread"] * point
        # The bid's range for longs; the ask's (bid + spread) for shorts. A
        # last element past the bars lets a reduction start at their end.
        self.low = {PositionType.BUY: np.append(bars["low"], np.inf),
                    PositionType.SELL: np.append(bars["low"] + spread, np.inf)}
        self.high = {PositionType.BUY: np.append(bars["high"], -np.inf),
                     PositionType.SELL: np.append(bars["high"] + spread, -np.inf)}
        self.point, self.value = point, value

    def extremes(self, sides: Sequence[int], entry_ms: Sequence[int],
                 exit_ms: Sequence[int]) -> List[Optional[Tuple[float, float]]]:
        """Per trade, the lowest low and highest high of the bars it was
        open in (None for none): bars some of whose time lies after the
        opening (a position opened at a bar's last millisecond, as an
        on_bar order is, has not seen that bar) and that open by the exit."""
        first = np.searchsorted(self.closes, np.asarray(entry_ms, dtype=np.int64) + 1, side="right")
        last = np.searchsorted(self.opens, np.asarray(exit_ms, dtype=np.int64), side="right")
        out: List[Optional[Tuple[float, float]]] = [None] * len(first)
        side_of = np.asarray(sides)
        for side in (PositionType.BUY, PositionType.SELL):
            which = np.flatnonzero((side_of == side) & (first < last))
            if not len(which):
                continue
            # reduceat over [first, last) pairs: the even rows are the
            # trades' spans, the odd ones (between spans) are not used.
            bounds = np.empty(2 * len(which), dtype=np.intp)
            bounds[0::2], bounds[1::2] = first[which], last[which]
            lows = np.minimum.reduceat(self.low[side], bounds)[0::2].tolist()
            highs = np.maximum.reduceat(self.high[side], bounds)[0::2].tolist()
            for k, i in enumerate(which.tolist()):
                out[i] = (lows[k], highs[k])
        return out

    def measure(self, side: int, volume: float, entry: float, exit_price: float, profit: float,
                extremes: Optional[Tuple[float, float]]) -> Tuple[float, float]:
        sign = 1.0 if side == PositionType.BUY else -1.0
        lows, highs = [entry, exit_price], [entry, exit_price]
        if extremes is not None:
            lows.append(extremes[0])
            highs.append(extremes[1])
        # Money per 1.0 of price and lot: as the trade's own profit was
        # converted, or the symbol's tick value when it closed at its entry.
        move = sign * (exit_price - entry)
        per_price = self.value
        if abs(move) > self.point / 2 and volume > 0 and profit / move > 0:
            per_price = profit / (move * volume)
        favourable = (max(highs) - entry) if side == PositionType.BUY else (entry - min(lows))
        adverse = (min(lows) - entry) if side == PositionType.BUY else (entry - max(highs))
        return (round(min(0.0, adverse * per_price * volume), 8), round(max(0.0, favourable * per_price * volume), 8))


def trades_of(deals: Sequence[Any], market: Optional[Market] = None) -> List[Trade]:
    """The trades of a run's deals, in the order they closed (see ``Trade``)."""
    held: Dict[int, _Open] = {}
    out: List[Trade] = []
    for d in deals:
        if d.type not in _TRADING:
            continue
        volume, price, time_msc = float(d.volume), float(d.price), int(d.time_msc)
        position = held.get(d.position_id)
        if d.entry == DealEntry.IN:
            if position is None:
                held[d.position_id] = _Open(_side_of(d.type), volume, price, time_msc)
            else:  # a netting position added to
                total = position.volume + volume
                position.price = round((position.price * position.volume + price * volume) / total, 10)
                position.volume = total
            continue
        if d.entry not in _CLOSING:
            continue
        if position is None:  # the history began while it was open: known from this deal alone
            position = _Open(PositionType.SELL if d.type == DealType.BUY else PositionType.BUY, volume, price,
                             time_msc)
        closed = min(volume, position.volume) if d.entry == DealEntry.INOUT else volume
        share = closed / volume if volume > 0 else 1.0
        commission, fee = float(d.commission) * share, float(d.fee) * share
        if share != 1.0:
            commission, fee = round(commission, 8), round(fee, 8)
        profit, swap = float(d.profit), float(d.swap)
        out.append(Trade(d.symbol, int(position.side), closed, position.time_msc, position.price, time_msc, price,
                         profit, commission, swap, fee, round(profit + commission + swap + fee, 8), math.nan,
                         math.nan, int(d.position_id)))
        position.volume = round(position.volume - closed, 8)
        if position.volume <= _NO_VOLUME:
            del held[d.position_id]
        if d.entry == DealEntry.INOUT and volume - closed > _NO_VOLUME:
            held[d.position_id] = _Open(_side_of(d.type), round(volume - closed, 8), price, time_msc)
    if market is not None:
        _add_excursions(out, market)
    return out


def _add_excursions(trades: List[Trade], market: Market) -> None:
    """Fills in each trade's mae and mfe from its symbol's bars, where the
    market has them."""
    for name, bars in market.bars.items():
        at = [i for i, t in enumerate(trades) if t.symbol == name]
        if not at:
            continue
        measure = _Excursions(bars, market.timeframe, market.points.get(name, 0.0), market.values.get(name, 0.0))
        spans = measure.extremes([trades[i].side for i in at], [trades[i].entry_time_msc for i in at],
                                 [trades[i].exit_time_msc for i in at])
        for i, extremes in zip(at, spans):
            t = trades[i]
            mae, mfe = measure.measure(t.side, t.volume, t.entry_price, t.exit_price, t.profit, extremes)
            trades[i] = t._replace(mae=mae, mfe=mfe)


def _ratio(a: float, b: float) -> float:
    """a / b for b > 0; where b is 0, inf or -inf by the sign of a (0.0 for a = 0)."""
    if b > 0:
        return float(a / b)
    return math.copysign(math.inf, a) if a != 0 else 0.0


def _streak(flags: np.ndarray) -> int:
    longest = run = 0
    for flag in flags.tolist():
        run = run + 1 if flag else 0
        longest = max(longest, run)
    return longest


def _utc(ms: int) -> dt.datetime:
    return dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(milliseconds=int(ms))


def _drawdowns(times: np.ndarray, curve: np.ndarray) -> List[Tuple[float, float, int]]:
    """The drawdowns of an equity curve: (depth, depth in percent of the
    peak, duration in ms) of each run of points below the highest so far,
    from the last point at that peak to the first back at or above it (or
    the last point)."""
    peaks = np.maximum.accumulate(curve)
    below = curve < peaks
    # Each run of points below the peak, from starts[k] to ends[k] (past
    # its last point), and its lowest point: between runs the curve stands
    # at its peak, which infinity leaves out. The first point is its own
    # peak, so no run starts there.
    edges = np.diff(below.astype(np.int8), prepend=np.int8(0), append=np.int8(0))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    if not len(starts):
        return []
    lows = np.minimum.reduceat(np.where(below, curve, np.inf), starts)
    last = len(curve) - 1
    out: List[Tuple[float, float, int]] = []
    for i, j, low in zip(starts.tolist(), ends.tolist(), lows.tolist()):
        peak = float(peaks[i])
        depth = peak - low
        out.append((depth, depth / peak * 100.0 if peak > 0 else 0.0, int(times[min(j, last)] - times[i - 1])))
    return out


def statistics(deals: Sequence[Any], equity: np.ndarray, deposit: float, *, start_ms: Optional[int] = None,
               market: Optional[Market] = None, trades: Optional[Sequence[Trade]] = None) -> Dict[str, Any]:
    """The figures of ``Result.stats`` (see ``DEFINITIONS`` and there for
    their definitions). ``start_ms``: the run's start (default: the first
    step's time); ``market``: the run's bars, for buy and hold."""
    if trades is None:
        trades = trades_of(deals, market)
    trading = [d for d in deals if d.type in _TRADING]
    results = np.array([t.result for t in trades], dtype=np.float64)
    wins, losses = results[results > 0], results[results < 0]
    gross_profit, gross_loss = float(wins.sum()), float(losses.sum())
    net_profit = round(sum((float(d.profit) + float(d.commission) + float(d.swap) + float(d.fee)
                            for d in trading), 0.0), 8)

    # The curve: the deposit at the start, then one point per step.
    if start_ms is None:
        start_ms = int(equity["time_msc"][0]) if len(equity) else 0
    end_ms = int(equity["time_msc"][-1]) + 1 if len(equity) else start_ms
    times = np.concatenate(([start_ms], equity["time_msc"].astype(np.int64)))
    curve = np.concatenate(([float(deposit)], equity["equity"]))
    peaks = np.maximum.accumulate(curve)
    drops = peaks - curve
    with np.errstate(divide="ignore", invalid="ignore"):
        drop_pct = np.where(peaks > 0, drops / peaks * 100.0, 0.0)
        returns = curve[1:] / curve[:-1] - 1.0 if len(curve) > 1 else np.zeros(0)
    returns = returns[np.isfinite(returns)]
    mean = float(returns.mean()) if len(returns) else 0.0
    spread = float(returns.std(ddof=1)) if len(returns) > 1 else 0.0
    downside = float(np.sqrt(np.mean(np.minimum(returns, 0.0) ** 2))) if len(returns) else 0.0
    years = (end_ms - start_ms) / _YEAR_MS
    per_year = len(equity) / years if years > 0 else 0.0
    final = float(curve[-1])
    if years <= 0 or deposit <= 0:
        cagr = 0.0
    elif final <= 0:
        cagr = -100.0
    else:
        try:
            cagr = (math.exp(math.log(final / deposit) / years) - 1.0) * 100.0
        except OverflowError:
            cagr = math.inf
    max_drawdown_pct = float(drop_pct.max())
    falls = _drawdowns(times, curve)

    durations = [t.exit_time_msc - t.entry_time_msc for t in trades]
    long_results = np.array([t.result for t in trades if t.side == PositionType.BUY], dtype=np.float64)
    short_results = np.array([t.result for t in trades if t.side == PositionType.SELL], dtype=np.float64)
    n = len(results)
    win_rate = float(len(wins) / n) if n else 0.0
    avg_win = float(wins.mean()) if len(wins) else 0.0
    avg_loss = float(losses.mean()) if len(losses) else 0.0
    avg_trade = float(results.mean()) if n else 0.0
    result_spread = float(results.std(ddof=1)) if n > 1 else 0.0
    if not len(wins) and not len(losses):
        kelly = 0.0
    elif not len(losses):
        kelly = win_rate
    elif not len(wins):
        kelly = -math.inf
    else:
        kelly = win_rate - (1.0 - win_rate) / (avg_win / -avg_loss)

    stats: Dict[str, Any] = {
        "start": _utc(start_ms),
        "end": _utc(end_ms),
        "duration": dt.timedelta(milliseconds=end_ms - start_ms),
        "exposure": float((equity["margin"] > 0).mean()) if len(equity) else 0.0,
        "final_equity": final,
        "peak_equity": float(peaks[-1]),
        "net_profit": net_profit,
        "return_pct": (final / deposit - 1.0) * 100.0 if deposit > 0 else 0.0,
        "buy_and_hold_pct": _buy_and_hold(market),
        "cagr_pct": cagr,
        "periods_per_year": per_year,
        "annual_return_pct": mean * per_year * 100.0,
        "annual_volatility_pct": spread * math.sqrt(per_year) * 100.0,
        "sharpe": mean / spread if spread > 0 else 0.0,
        "sharpe_annual": mean / spread * math.sqrt(per_year) if spread > 0 else 0.0,
        "sortino_annual": _ratio(mean, downside) * math.sqrt(per_year) if per_year > 0 else 0.0,
        "calmar": _ratio(cagr, max_drawdown_pct),
        "max_drawdown": round(float(drops.max()), 8),
        "max_drawdown_pct": max_drawdown_pct,
        "max_drawdown_duration": dt.timedelta(milliseconds=max((f[2] for f in falls), default=0)),
        "avg_drawdown": float(np.mean([f[0] for f in falls])) if falls else 0.0,
        "avg_drawdown_pct": float(np.mean([f[1] for f in falls])) if falls else 0.0,
        "avg_drawdown_duration": dt.timedelta(milliseconds=round(np.mean([f[2] for f in falls])) if falls else 0),
        "recovery_factor": _ratio(net_profit, float(drops.max())),
        "trades": n,
        "win_rate": win_rate,
        "gross_profit": round(gross_profit, 8),
        "gross_loss": round(gross_loss, 8),
        "profit_factor": _ratio(gross_profit, -gross_loss),
        "best_trade": float(results.max()) if n else 0.0,
        "worst_trade": float(results.min()) if n else 0.0,
        "avg_trade": avg_trade,
        "avg_win": avg_win,
        "avg_loss": avg_loss,
        "avg_trade_duration": dt.timedelta(milliseconds=round(np.mean(durations)) if durations else 0),
        "max_trade_duration": dt.timedelta(milliseconds=max(durations, default=0)),
        "expectancy": _ratio(avg_trade, -avg_loss) if n else 0.0,
        "sqn": math.sqrt(n) * avg_trade / result_spread if result_spread > 0 else 0.0,
        "kelly": kelly,
        "max_win_streak": _streak(results > 0),
        "max_loss_streak": _streak(results < 0),
        "long_trades": len(long_results),
        "long_gross_profit": round(float(long_results[long_results > 0].sum()), 8),
        "long_gross_loss": round(float(long_results[long_results < 0].sum()), 8),
        "short_trades": len(short_results),
        "short_gross_profit": round(float(short_results[short_results > 0].sum()), 8),
        "short_gross_loss": round(float(short_results[short_results < 0].sum()), 8),
    }
    return stats


def _buy_and_hold(market: Optional[Market]) -> float:
    if market is None:
        return math.nan
    changes = [float(bars["close"][-1]) / float(bars["open"][0]) - 1.0
               for bars in market.bars.values() if len(bars) and bars["open"][0] > 0]
    return float(np.mean(changes)) * 100.0 if changes else math.nan
