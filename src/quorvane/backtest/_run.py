"""The backtest driver: a private Terminal stepped bar by bar."""

from __future__ import annotations

import calendar
import datetime as dt
import math
import os
from typing import Any, Callable, Dict, Iterable, List, Optional, Union

import numpy as np

from .. import _core
from ..constants import Timeframe
from ._clock import _MEANING, ClockError
from ._inprocess import InProcessTerminal
from ._progress import RunBar, wanted
from ._result import EQUITY_DTYPE, Result, history
from ._stats import read_market
from ._terminal import BacktestError, PrivateTerminal, clock_text, settings

Date = Union[int, float, str, dt.datetime]
OnBar = Callable[[str, np.ndarray], Any]

_WEEK_S = 7 * 86400
_MONDAY_S = 4 * 86400  # 1970-01-05, the first Monday after the epoch
_HISTORY_START = dt.date(2020, 1, 1)   # the Terminal's default first day of history
_FIRST_DAY = dt.date(2000, 1, 1)       # the earliest it takes
# The market's span: the Terminal's clock starts from 2000-01-01 to 2099-12-31.
_FIRST_MS = 946_684_800_000
_END_MS = 4_102_444_800_000
# The account lives as long as the run: its store is kept in memory, so no
# commit writes or locks a file.
_STORE = ("--store-memory",)


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


# Rows a symbol's bar buffer holds beyond the lookback (at least the lookback
# again) before the bars still needed move to a new one.
SPARE_ROWS = 4096


def _bar_ms(timeframe: int) -> int:
    """A bar's length (ms), a month's being its mean."""
    return round(365.2425 / 12 * 86_400_000) if timeframe == Timeframe.MN1 else int(timeframe) * 60_000


def _step_failed(what: str) -> ClockError:
    code, message = _core.last_error()
    meaning = _MEANING.get(code)
    return ClockError(f"the step {what} failed: ({code}, {message!r})" + (f": {meaning}" if meaning else ""), code)


def _seed(name: str, timeframe: int, lookback: int, now: int, bars: Bars) -> np.ndarray:
    """The last ``lookback`` bars of ``name`` closed at ``now`` (ms)."""
    rates = _core.copy_rates_from_pos(name, timeframe, 0, lookback + 1)
    if rates is None:
        code, message = _core.last_error()
        raise BacktestError(f"copy_rates_from_pos({name!r}) failed at {clock_text(now)}: ({code}, {message!r})")
    if len(rates) and bars.after(int(rates["time"][-1])) * 1000 - 1 > now:
        rates = rates[:-1]  # the bar in progress
    return rates[-lookback:]


def drive(on_bar: OnBar, names: List[str], timeframe: int, end_ms: int, lookback: int,
          progress: Optional[Callable[[int], int]] = None, closed: Optional[Dict[str, np.ndarray]] = None,
          start_ms: Optional[int] = None) -> np.ndarray:
    """Steps the clock to the last millisecond of each bar with ticks that
    closes by ``end_ms``, calls ``on_bar`` for each symbol with a new bar and
    samples the account; returns the equity rows.

    An exchange reads the clock and each symbol is seeded once with the
    bars closed then; the steps themselves run in the module
    (``_core._drive``): each is one exchange that moves the clock to the
    next bar and brings the bars that closed meanwhile and the account as it
    stood after the previous step's ``on_bar`` calls, that step's equity
    row; the exchange that finds no bar left gives the last row. The account
    is first opened by the first step's walk, at its end, as before.

    ``progress`` (the run's progress bar), if given, is called with the
    clock (ms) after the first step, and then after the first step whose
    clock has reached the time (ms) the last call returned.

    ``closed``, if given, receives each symbol's bars that the steps
    brought (all that closed after the clock stood at ``start_ms``), when
    the run began there and the module could keep them: the run's figures
    then need not ask the Terminal to build them again."""
    bars = Bars(timeframe)
    symbols = tuple(names)
    first = _core._step(0, timeframe, symbols, False, False)
    if first is None:
        raise _step_failed("that reads the clock")
    now = first[0]
    seeds = tuple(_seed(name, timeframe, lookback, now, bars) for name in names)
    # The bars that close by end_ms end by its millisecond before; the
    # Terminal's clock ends with the market's years.
    got = _core._drive(on_bar, timeframe, symbols, lookback, seeds, now, min(end_ms, _END_MS) - 1, SPARE_ROWS,
                        progress)
    if got is None or got[1] is None:
        raise _step_failed(f"from {clock_text(got[0] if got else now)}")
    if closed is not None and got[2] is not None and start_ms is not None and now <= start_ms:
        closed.update((name, np.frombuffer(kept, dtype=seed.dtype)) for name, kept, seed in zip(names, got[2], seeds))
    return np.frombuffer(got[1], dtype=EQUITY_DTYPE)


def checked_timeframe(timeframe: int) -> Timeframe:
    try:
        return Timeframe(int(timeframe))
    except ValueError:
        raise ValueError(f"timeframe must be a Timeframe, not {timeframe!r}") from None


def checked_start(start: Date) -> int:
    """``start`` in ms, within the market's years."""
    start_ms = to_ms(start, "start")
    if not _FIRST_MS <= start_ms < _END_MS:
        raise ValueError(f"start={start!r} lies outside the market's years: a backtest starts from "
                         f"2000-01-01 to 2099-12-31 (UTC)")
    return start_ms


def checked_end(start: Date, start_ms: int, end: Date) -> int:
    end_ms = to_ms(end, "end")
    if end_ms <= start_ms:
        raise ValueError(f"the backtest must end after it starts (start={start!r}, end={end!r})")
    return end_ms


def backtest(walk: Callable[[Optional[RunBar]], np.ndarray], names: List[str], minutes: Timeframe,
             start_ms: int, end_ms: int, args: List[str], described: Dict[str, Any], *, deposit: float,
             currency: str, leverage: int, hedging: bool, data: Any, terminal: Optional[str],
             folder: Optional[str], in_process: Optional[bool], progress: Optional[bool],
             closed: Optional[Dict[str, np.ndarray]] = None) -> Result:
    """A backtest's life, whatever moves its clock: the private Terminal
    (in this process or a program apart) started on ``args`` in its
    folder, the symbols checked, ``walk(bar)`` (the run's progress bar or
    None) giving the equity rows, then the run's history and its
    ``Result``, whose settings hold ``described`` beside the common ones.
    ``closed``: the bars ``walk`` kept of the symbols it handled (see
    ``drive``); those of the others are read from the Terminal."""
    if in_process is None:
        in_process = terminal is None
    elif in_process and terminal is not None:
        raise ValueError("terminal= names a program to run apart: give it with in_process=False")
    show = wanted(progress)
    ini = settings(deposit, currency, leverage, hedging)
    source = None if data is None else os.fspath(data)
    private: Union[InProcessTerminal, PrivateTerminal]
    if in_process:
        private = InProcessTerminal(ini, source, folder)
    else:
        if terminal is None:
            from .. import terminal_path

            terminal = terminal_path()
        private = PrivateTerminal(terminal, ini, source, folder)
    with private:
        private.start(["--clock", clock_text(start_ms), "--step", *_STORE, *args])
        for name in names:
            if _core.symbol_info(name) is None or not _core.symbol_select(name, True):
                code, message = _core.last_error()
                raise BacktestError(f"the backtest's Terminal has no symbol {name!r}: ({code}, {message!r})"
                                    f"{private.said()}")
        bar = RunBar(start_ms, end_ms, _bar_ms(minutes), f"backtest {','.join(names)}") if show else None
        try:
            equity = walk(bar)
            if bar is not None:
                bar.finish()
        finally:
            if bar is not None:
                bar.close()
        deals, orders, positions, pending = history(deposit)
        market = read_market(names, int(minutes), start_ms, end_ms, closed)
    given = dict(symbols=names, timeframe=minutes.name, start=clock_text(start_ms), end=clock_text(end_ms),
                 deposit=float(deposit), currency=currency.upper(), leverage=leverage, hedging=hedging,
                 **described, data=source)
    return Result(deals=deals, orders=orders, positions=positions, pending=pending, equity=equity,
                  deposit=float(deposit), currency=currency.upper(), symbols=names, timeframe=int(minutes),
                  start_ms=start_ms, end_ms=end_ms, market=market, settings=given)


def run(on_bar: OnBar, symbols: Union[str, Iterable[str]], timeframe: int, start: Date, end: Date, *,
        deposit: float = 10000.0, currency: str = "USD", leverage: int = 100, hedging: bool = True,
        lookback: int = 100, data: Optional[Union[str, "os.PathLike[str]"]] = None,
        terminal: Optional[str] = None, folder: Optional[str] = None,
        in_process: Optional[bool] = None, progress: Optional[bool] = None) -> Result:
    """Backtests ``on_bar`` on a private Terminal whose clock moves bar by bar.

    ``on_bar(symbol, bars)`` is called once for each bar of ``timeframe``
    (a ``Timeframe``) of each symbol that has ticks and closes after
    ``start`` and by ``end``, in time order (at one time, in the order of
    ``symbols``), as soon as the bar has closed: the Terminal's clock then
    stands at the bar's last millisecond. ``bars`` holds up to ``lookback``
    closed bars, the newest last, as ``copy_rates_from_pos`` returns them
    (history before ``start`` included), read-only: a view of the run's
    bars that never changes afterwards (``bars.copy()`` gives an array of
    one's own to write to). Inside ``on_bar`` the strategy uses
    the ordinary functions (``order_send``, ``positions_get``,
    ``symbol_info_tick``, ``copy_ticks_range``, ``quorvane.trade`` ...) on
    the Terminal at that moment, and nothing after it exists. Between steps
    the Terminal fills pending orders and stops at the tick that reaches
    them and checks the stop-out at each step.

    ``start`` and ``end``: POSIX seconds, datetimes (naive ones are local
    time) or ISO texts (UTC); ``start`` from 2000-01-01 to 2099-12-31, the
    market's years (else ``ValueError``, before anything starts). The account: ``deposit`` in ``currency`` at
    1:``leverage``, hedging (several positions per symbol) or netting. With
    ``data`` (a folder ``import_ticks`` wrote to) its imported symbols are
    there too.

    The private Terminal runs inside this process (``in_process=True``, the
    default unless ``terminal`` is given): the bundled Terminal's engine,
    called directly, so a step costs function calls rather than round trips
    to another process. ``in_process=False`` runs a copy of a Terminal
    program apart, as its own process on its own endpoint: ``terminal``
    (default the bundled one). Both give the same deals, orders and equity,
    byte for byte, and both keep the account's trading store in memory
    (``--store-memory``): no file of it is written.
    ``folder``: where the Terminal's temporary folder goes (default the
    system's temporary folder).

    ``progress``: a progress bar (tqdm's, in a terminal or a notebook) of
    the period's bars done, the date reached and the time left: True shows
    it (ImportError without tqdm), False not; None, the default, shows it
    when standard error is a terminal or this is a notebook, and tqdm is
    installed (``pip install "quorvane[progress]"``).

    The module is connected to the private Terminal for the run (a
    connection it had before is closed) and disconnected after it. An
    exception raised by ``on_bar`` (or Ctrl+C) ends the run: the Terminal is
    stopped and its folder removed, and the exception propagates. Returns a
    ``Result``. The same data, strategy and settings give the same deals,
    orders and equity, byte for byte.
    """
    names = _names(symbols)
    minutes = checked_timeframe(timeframe)
    if isinstance(lookback, bool) or not isinstance(lookback, int) or not 1 <= lookback <= 100_000:
        raise ValueError(f"lookback must be a whole number of bars from 1 to 100000, not {lookback!r}")
    start_ms = checked_start(start)
    end_ms = checked_end(start, start_ms, end)
    first_day = _history_start(start_ms, Bars(minutes), lookback)
    args = [] if first_day is None else ["--history-start", first_day]
    closed: Dict[str, np.ndarray] = {}
    return backtest(lambda bar: drive(on_bar, names, int(minutes), end_ms, lookback, bar, closed, start_ms), names,
                    minutes, start_ms, end_ms, args, {"lookback": lookback}, deposit=deposit, currency=currency,
                    leverage=leverage, hedging=hedging, data=data, terminal=terminal, folder=folder,
                    in_process=in_process, progress=progress, closed=closed)
