"""The tick backtest's driver: a strategy called on every tick, on a lazy
clock.

The driver reads each symbol's ticks a day at a time ahead of the Terminal's
clock (``_core._ticks_ahead``, zero-copy arrays), merges the symbols by time
and calls ``on_tick(symbol, tick)`` for each tick WITHOUT moving the clock:
it only names the tick's time as the clock's lazy target
(``_core._lazy_clock``). The module's next request, whatever it is, first
moves the clock there (``link/lazy_clock.hpp``). The only way a strategy
observes the account or the market is a request, and every request first
brings the clock to the current tick, so what it sees is the Terminal's state
at that tick; ticks nobody asked about cost no exchange, and the stops and
pending orders they reach are filled by the Terminal's own walk at their
true ticks. The clock is also moved, and the account sampled, at the end of
each bar of ``timeframe`` with ticks, which gives the equity rows ``run``
gives.

The clock moves in whole milliseconds: at time t the Terminal's quote of a
symbol is its last tick at or before t. When several ticks share a
millisecond (of one symbol, or of several), a request made at any of them
is served at that millisecond, when all of them have happened: it sees, and
an order fills at, the symbol's last tick of that millisecond.
"""

from __future__ import annotations

import os
from itertools import repeat
from typing import Any, Callable, Iterable, List, Optional, Tuple, Union

import numpy as np

from .. import _core
from ..constants import Timeframe
from ._result import EQUITY_DTYPE, Result
from ._run import Bars, Date, _names, _step_failed, backtest, checked_end, checked_start, checked_timeframe
from ._terminal import clock_text

OnTick = Callable[[str, np.void], Any]

_CHUNK_MS = 86_400_000  # the ticks read ahead at a time: a day's
_TOO_MANY = -3  # more records than one response holds
_MONTHLY = int(Timeframe.MN1)

_NEVER = 2**63 - 1  # a clock no tick reaches (ms)


def _no_progress(now: int) -> int:
    return _NEVER


def _ahead(name: str, lo: int, hi: int) -> np.ndarray:
    """The ticks of [lo, hi]; a span with more than one response holds is
    read in halves."""
    ticks = _core._ticks_ahead(name, lo, hi)
    if ticks is None:
        if _core.last_error()[0] == _TOO_MANY and hi > lo:
            middle = lo + (hi - lo) // 2
            return np.concatenate((_ahead(name, lo, middle), _ahead(name, middle + 1, hi)))
        raise _step_failed(f"that reads the ticks of {name!r} from {clock_text(lo)}")
    return ticks


Merged = Tuple[List[int], Optional[List[str]], List[np.void]]


def _merged(names: List[str], lo: int, hi: int) -> Merged:
    """The ticks of [lo, hi] of all ``names`` in time order (ties: the order
    of ``names``), as lists of times, names (None for one symbol) and rows."""
    if len(names) == 1:
        ticks = _ahead(names[0], lo, hi)
        return ticks["time_msc"].tolist(), None, list(ticks)
    parts = [_ahead(name, lo, hi) for name in names]
    ticks = np.concatenate(parts)
    owner = np.repeat(np.arange(len(names)), [len(p) for p in parts])
    order = np.lexsort((owner, ticks["time_msc"]))
    ticks, owner = ticks[order], owner[order]
    return ticks["time_msc"].tolist(), np.array(names, dtype=object)[owner].tolist(), list(ticks)


def drive_ticks(on_tick: OnTick, names: List[str], timeframe: int, start_ms: int, end_ms: int,
                progress: Optional[Callable[[int], int]] = None) -> np.ndarray:
    """Calls ``on_tick`` for every tick of ``names`` after ``start_ms`` and
    by ``end_ms`` on a lazy clock; returns the equity rows, one at the end
    of each bar of ``timeframe`` with ticks (the last one at ``end_ms`` when
    its bar closes later)."""
    bars = Bars(timeframe)
    step, lazy, symbols = _core._step, _core._lazy_clock, tuple(names)
    times: List[int] = []
    funds: List[Tuple[float, float, float]] = []
    report, report_at = (progress, 0) if progress is not None else (_no_progress, _NEVER)
    closes = -1  # the last millisecond of the bar of the current tick

    def sample(at: int) -> None:
        lazy(0)  # the step moves the clock past the target anyway
        # The step also answers the bars of a timeframe closed meanwhile,
        # which this driver does not use: MN1's close least often.
        reply = step(at, _MONTHLY, symbols, False, True)
        if reply is None:
            raise _step_failed(f"to {clock_text(at)}")
        times.append(reply[0])
        assert reply[4] is not None  # asked for
        funds.append(reply[4])

    if lazy(0, symbols) is None:
        raise _step_failed("that names the symbols")
    try:
        lo = start_ms + 1
        while lo <= end_ms:
            hi = min(lo + _CHUNK_MS - 1, end_ms)
            at, owners, rows = _merged(names, lo, hi)
            lo = hi + 1
            if not at:
                continue
            # Per tick: one comparison with the current bar's end, the lazy
            # target, the call.
            for t, name, row in zip(at, owners if owners is not None else repeat(names[0]), rows):
                if t > closes:
                    if closes >= 0:
                        sample(closes)
                        if closes >= report_at:
                            report_at = report(closes)
                    closes = bars.after(bars.open(t // 1000)) * 1000 - 1
                lazy(t)
                on_tick(name, row)
        if closes >= 0:
            sample(min(closes, end_ms))
    finally:
        lazy(0)
    equity = np.zeros(len(times), dtype=EQUITY_DTYPE)
    equity["time_msc"] = times
    if funds:
        columns = np.array(funds, dtype=np.float64)
        equity["balance"], equity["equity"], equity["margin"] = columns[:, 0], columns[:, 1], columns[:, 2]
    return equity


def run_ticks(on_tick: OnTick, symbols: Union[str, Iterable[str]], start: Date, end: Date, *,
              timeframe: int = Timeframe.M1, deposit: float = 10000.0, currency: str = "USD",
              leverage: int = 100, hedging: bool = True, data: Optional[Union[str, "os.PathLike[str]"]] = None,
              terminal: Optional[str] = None, folder: Optional[str] = None,
              in_process: Optional[bool] = None, progress: Optional[bool] = None) -> Result:
    """Backtests ``on_tick`` on every tick of ``symbols`` (the model's or
    imported ones, bid and ask as they are) after ``start`` and by ``end``.

    ``on_tick(symbol, tick)`` is called for each tick in time order (ticks
    of one millisecond in the order of ``symbols``); ``tick`` is the row
    ``copy_ticks_range`` returns for it (``tick["bid"]``, ``tick["ask"]``,
    ``tick["time_msc"]`` ...). Inside it the strategy uses the ordinary
    functions, and the Terminal answers as its clock stood at that tick: an
    order sent fills at that tick's price, ``positions_get`` and
    ``symbol_info_tick`` show that moment, and nothing after it exists.
    Between the ticks the Terminal fills stops and pending orders at the
    very tick that reaches them. The clock moves in whole milliseconds: when
    ticks share a millisecond, a request at any of them is answered as of
    the end of that millisecond (the symbol's last tick of it).

    The equity rows are sampled at the end of each bar of ``timeframe``
    (default M1) with ticks, as ``run``'s are, and the last at ``end``; the
    ``Result`` (deals, orders, trades, stats, report) is ``run``'s. The
    other keywords are ``run``'s, and so is the handling of the private
    Terminal, of an exception in ``on_tick`` and of ``progress``.
    """
    names = _names(symbols)
    minutes = checked_timeframe(timeframe)
    start_ms = checked_start(start)
    end_ms = checked_end(start, start_ms, end)
    return backtest(lambda bar: drive_ticks(on_tick, names, int(minutes), start_ms, end_ms, bar), names, minutes,
                    start_ms, end_ms, [], {"ticks": True}, deposit=deposit, currency=currency,
                    leverage=leverage, hedging=hedging, data=data, terminal=terminal, folder=folder,
                    in_process=in_process, progress=progress)
