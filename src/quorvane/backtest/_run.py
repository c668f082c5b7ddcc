"""The backtest driver: a private Terminal stepped bar by bar."""

from __future__ import annotations

import calendar
import datetime as dt
import math
import os
from typing import Any, Callable, Iterable, List, Optional, Union

import numpy as np

from .. import _core
from ..constants import Timeframe
from ._clock import Clock
from ._result import EQUITY_DTYPE, Result, history
from ._terminal import BacktestError, PrivateTerminal, clock_text, settings

Date = Union[int, float, str, dt.datetime]
OnBar = Callable[[str, np.ndarray], Any]

_WEEK_S = 7 * 86400
_MONDAY_S = 4 * 86400  # 1970-01-05, the first Monday after the epoch
_HISTORY_START = dt.date(2020, 1, 1)   # the Terminal's default first day of history
_FIRST_DAY = dt.date(2000, 1, 1)       # the earliest it takes


def to_ms(when: Date, name: str) -> int:
    """A date argument as milliseconds since 1970-01-01 UTC: POSIX seconds,
    a datetime (a naive one is local time, as everywhere in the module) or
    an ISO text (UTC unless it names a zone)."""
    if isinstance(when, str):
        try:
            parsed = dt.datetime.fromisoformat(when.replace("Z", "+00:00"))
        except ValueError:
            raise ValueError(f"{name}={when!r} is not an ISO date such as 2025-01-06 or 2025-01-06T08:00") from None
        when = parsed if parsed.tzinfo is not None else parsed.replace(tzinfo=dt.timezone.utc)
    if isinstance(when, dt.datetime):
        return math.floor(when.timestamp() * 1000)
    if isinstance(when, (int, float)) and not isinstance(when, bool) and math.isfinite(when):
        return math.floor(when * 1000)
    raise TypeError(f"{name} must be POSIX seconds, a datetime or an ISO date text, not {type(when).__name__}")


class Bars:
    """The bar grid of one timeframe: where the bar holding a time opens,
    and where the next one opens (seconds)."""

    def __init__(self, timeframe: int) -> None:
        self.minutes = int(timeframe)
        self.span = self.minutes * 60

    def open(self, t: int) -> int:
        if self.minutes <= 1440:
            return t - t % self.span
        if self.minutes == Timeframe.W1:
            return t - (t - _MONDAY_S) % _WEEK_S
        day = dt.datetime.fromtimestamp(t, dt.timezone.utc)
        return calendar.timegm((day.year, day.month, 1, 0, 0, 0))

    def after(self, opened: int) -> int:
        if self.minutes != Timeframe.MN1:
            return opened + self.span
        day = dt.datetime.fromtimestamp(opened, dt.timezone.utc)
        year, month = (day.year + 1, 1) if day.month == 12 else (day.year, day.month + 1)
        return calendar.timegm((year, month, 1, 0, 0, 0))


def _history_start(start_ms: int, bars: Bars, lookback: int) -> Optional[str]:
    """An earlier first day of history than the Terminal's default when the
    lookback before ``start`` needs one (with room for nights and weekends)."""
    need_s = lookback * (bars.span if bars.minutes != Timeframe.MN1 else 31 * 86400) * 2 + 14 * 86400
    day = (dt.datetime.fromtimestamp(start_ms / 1000 - need_s, dt.timezone.utc)).date()
    if day >= _HISTORY_START:
        return None
    return max(day, _FIRST_DAY).isoformat()


def _names(symbols: Union[str, Iterable[str]]) -> List[str]:
    names = [symbols] if isinstance(symbols, str) else list(symbols)
    if not names or not all(isinstance(n, str) and n for n in names):
        raise TypeError("symbols must be a symbol name or a non-empty list of names")
    if len(set(names)) != len(names):
        raise ValueError(f"a symbol is named twice in {names}")
    return names


def drive(on_bar: OnBar, names: List[str], timeframe: int, end_ms: int, lookback: int, clock: Clock) -> np.ndarray:
    """Steps the clock to the last millisecond of each bar with ticks that
    closes by ``end_ms``, calls ``on_bar`` for each symbol with a new bar and
    samples the account; returns the equity rows."""
    bars = Bars(timeframe)
    copy, account, step = _core.copy_rates_from_pos, _core.account_info, clock.step
    times: List[int] = []
    balances: List[float] = []
    equities: List[float] = []
    margins: List[float] = []
    span = bars.span if bars.minutes <= 1440 else 0
    _, following = step(0)
    while following >= 0:
        t = following // 1000
        opened = t - t % span if span else bars.open(t)
        closes = opened + span if span else bars.after(opened)
        if closes * 1000 > end_ms:
            break
        now, following = step(closes * 1000 - 1)
        for name in names:
            rates = copy(name, timeframe, 0, lookback)
            if rates is None:
                code, message = _core.last_error()
                raise BacktestError(f"copy_rates_from_pos({name!r}) failed at {clock_text(now)}: "
                                    f"({code}, {message!r})")
            if len(rates) and rates["time"][-1] == opened:
                on_bar(name, rates)
        info = account()
        if info is None:
            code, message = _core.last_error()
            raise BacktestError(f"account_info() failed at {clock_text(now)}: ({code}, {message!r})")
        times.append(now)
        balances.append(info.balance)
        equities.append(info.equity)
        margins.append(info.margin)
    equity = np.zeros(len(times), dtype=EQUITY_DTYPE)
    equity["time_msc"], equity["balance"], equity["equity"], equity["margin"] = times, balances, equities, margins
    return equity


def run(on_bar: OnBar, symbols: Union[str, Iterable[str]], timeframe: int, start: Date, end: Date, *,
        deposit: float = 10000.0, currency: str = "USD", leverage: int = 100, hedging: bool = True,
        lookback: int = 100, data: Optional[Union[str, "os.PathLike[str]"]] = None,
        terminal: Optional[str] = None, folder: Optional[str] = None) -> Result:
    """Backtests ``on_bar`` on a private Terminal whose clock moves bar by bar.

    ``on_bar(symbol, bars)`` is called once for each bar of ``timeframe``
    (a ``Timeframe``) of each symbol that has ticks and closes after
    ``start`` and by ``end``, in time order (at one time, in the order of
    ``symbols``), as soon as the bar has closed: the Terminal's clock then
    stands at the bar's last millisecond. ``bars`` holds up to ``lookback``
    closed bars, the newest last, as ``copy_rates_from_pos`` returns them
    (history before ``start`` included). Inside ``on_bar`` the strategy uses
    the ordinary functions (``order_send``, ``positions_get``,
    ``symbol_info_tick``, ``copy_ticks_range``, ``quorvane.trade`` ...) on
    the Terminal at that moment, and nothing after it exists. Between steps
    the Terminal fills pending orders, stops and stop-outs on every tick.

    ``start`` and ``end``: POSIX seconds, datetimes (naive ones are local
    time) or ISO texts (UTC). The account: ``deposit`` in ``currency`` at
    1:``leverage``, hedging (several positions per symbol) or netting. With
    ``data`` (a folder ``import_ticks`` wrote to) its imported symbols are
    there too. ``terminal``: the Terminal program to copy (default the
    bundled one); ``folder``: where its temporary folder goes (default the
    system's temporary folder; on Linux ``/dev/shm`` spares the disk the
    store's syncs).

    The module is connected to the private Terminal for the run (a
    connection it had before is closed) and disconnected after it. An
    exception raised by ``on_bar`` (or Ctrl+C) ends the run: the Terminal is
    stopped and its folder removed, and the exception propagates. Returns a
    ``Result``. The same data, strategy and settings give the same deals,
    orders and equity, byte for byte.
    """
    names = _names(symbols)
    try:
        minutes = Timeframe(int(timeframe))
    except ValueError:
        raise ValueError(f"timeframe must be a Timeframe, not {timeframe!r}") from None
    if isinstance(lookback, bool) or not isinstance(lookback, int) or not 1 <= lookback <= 100_000:
        raise ValueError(f"lookback must be a whole number of bars from 1 to 100000, not {lookback!r}")
    start_ms, end_ms = to_ms(start, "start"), to_ms(end, "end")
    if not 0 < start_ms < end_ms:
        raise ValueError("the backtest must end after it starts (and start after 1970)")
    ini = settings(deposit, currency, leverage, hedging)
    if terminal is None:
        from .. import terminal_path

        terminal = terminal_path()
    args = ["--clock", clock_text(start_ms), "--step"]
    first_day = _history_start(start_ms, Bars(minutes), lookback)
    if first_day is not None:
        args += ["--history-start", first_day]
    with PrivateTerminal(terminal, ini, None if data is None else os.fspath(data), folder) as private:
        private.start(args)
        for name in names:
            if _core.symbol_info(name) is None or not _core.symbol_select(name, True):
                code, message = _core.last_error()
                raise BacktestError(f"the backtest's Terminal has no symbol {name!r}: ({code}, {message!r})"
                                    f"{private.said()}")
        with Clock(private.inst.endpoint, names) as clock:
            equity = drive(on_bar, names, int(minutes), end_ms, lookback, clock)
        deals, orders, positions, pending = history(deposit)
    return Result(deals=deals, orders=orders, positions=positions, pending=pending, equity=equity,
                  deposit=float(deposit), currency=currency.upper(), symbols=names, timeframe=int(minutes),
                  start_ms=start_ms, end_ms=end_ms)
