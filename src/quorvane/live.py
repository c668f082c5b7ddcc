"""Live ticks: a generator that polls the Terminal for new ticks.

    for symbol, ticks in watch_ticks(["EURUSD", "BTCUSD"], duration=60):
        print(symbol, ticks["time_msc"][-1], ticks["bid"][-1])

Each poll asks ``copy_ticks_from`` for the ticks from the last one already
yielded. The Terminal answers in whole seconds, and several ticks may share
one millisecond, so every poll sees again part of what it has yielded: the
generator drops what lies before the last yielded millisecond and, within
that millisecond, exactly the ticks it has already yielded (compared byte for
byte, counting repeats), so a tick that arrives late within that millisecond
is still yielded once.

Guarantees, per symbol: ticks come oldest first; joined, the batches are the
Terminal's tick stream from the start point on, with no tick twice and none
left out, whatever the poll interval or the machine's speed; a poll that
fills its whole ``batch`` is followed at once by the next one (a backlog is
drained before sleeping). A failed call raises ``WatchError`` carrying
``last_error()``; nothing is skipped silently. The generator holds no
resources: ``close()``, ``break`` or a ``KeyboardInterrupt`` (which
propagates, as it should) leave nothing behind.
"""

from __future__ import annotations

import datetime as _dt
import math
import time
from collections import Counter
from typing import Iterable, Iterator, NamedTuple, Union

import numpy as np

from . import _core
from .constants import CopyTicks

__all__ = ["TickBatch", "WatchError", "watch_ticks"]

Date = Union[int, float, _dt.datetime]


class TickBatch(NamedTuple):
    """New ticks of one symbol, oldest first (never empty)."""

    symbol: str
    ticks: np.ndarray


class WatchError(RuntimeError):
    """A call failed while watching ticks; ``code`` and ``message`` are the
    ``last_error()`` of that call."""

    def __init__(self, symbol: str, call: str, code: int, message: str) -> None:
        super().__init__(f"{call} for {symbol!r} failed: ({code}, {message!r})")
        self.symbol = symbol
        self.code = code
        self.message = message


def _failure(symbol: str, call: str) -> WatchError:
    code, message = _core.last_error()
    return WatchError(symbol, call, code, message)


def _keys(ticks: np.ndarray) -> list[bytes]:
    """Each tick's bytes: ticks are compared whole, not by time alone."""
    raw = ticks.tobytes()
    size = ticks.dtype.itemsize
    return [raw[i:i + size] for i in range(0, len(raw), size)]


def _start_ms(since: Date) -> int:
    if isinstance(since, _dt.datetime):
        # Naive datetimes are local time, as everywhere in the module.
        return math.floor(since.timestamp() * 1000)
    if isinstance(since, (int, float)) and not isinstance(since, bool):
        return math.floor(since * 1000)
    raise TypeError(f"since must be POSIX seconds or a datetime, not {type(since).__name__}")


class _Cursor:
    """Where the stream of one symbol stands: the last yielded millisecond and
    the ticks already yielded at that millisecond."""

    def __init__(self, symbol: str, flags: int, batch: int, start_ms: int | None) -> None:
        self.symbol = symbol
        self.flags = flags
        self.batch = batch
        self.seen: Counter[bytes] = Counter()
        if start_ms is not None:
            self.last_ms = start_ms
            return
        # Without a start point the stream begins after the latest tick: the
        # ticks now present at its millisecond count as already yielded.
        latest = _core.symbol_info_tick(symbol)
        if latest is None:
            raise _failure(symbol, "symbol_info_tick")
        self.last_ms = int(latest.time_msc)
        count = batch
        while True:
            ticks = self._fetch(count)
            after = int(np.searchsorted(ticks["time_msc"], self.last_ms, side="right"))
            if len(ticks) < count or after < len(ticks):
                break
            count *= 2  # the reply may end inside that millisecond
        first = int(np.searchsorted(ticks["time_msc"], self.last_ms, side="left"))
        self.seen.update(_keys(ticks[first:after]))

    def _fetch(self, count: int) -> np.ndarray:
        ticks: np.ndarray | None = _core.copy_ticks_from(self.symbol, self.last_ms // 1000, count, self.flags)
        if ticks is None:
            raise _failure(self.symbol, "copy_ticks_from")
        return ticks

    def poll(self) -> tuple[np.ndarray, bool]:
        """New ticks and whether the reply was full (more may be waiting)."""
        count = self.batch
        while True:
            ticks = self._fetch(count)
            fresh = self._fresh(ticks)
            full = len(ticks) >= count
            # A full reply that brought nothing new is taken up by what was
            # already yielded within the second: ask for more, never stall.
            if full and fresh is None:
                count *= 2
                continue
            break
        if fresh is None:
            return ticks[:0], full
        self._advance(fresh)
        return fresh, full

    def _fresh(self, ticks: np.ndarray) -> np.ndarray | None:
        stamps = ticks["time_msc"]
        first = int(np.searchsorted(stamps, self.last_ms, side="left"))
        after = int(np.searchsorted(stamps, self.last_ms, side="right"))
        keep: list[int] = []
        left = Counter(self.seen)
        for i, key in enumerate(_keys(ticks[first:after]), first):
            if left[key] > 0:
                left[key] -= 1
            else:
                keep.append(i)
        if not keep and after == len(ticks):
            return None
        if not keep or keep == list(range(keep[0], after)):
            # One contiguous run (the usual case): a copy, so that the batch
            # does not keep the whole reply alive.
            return ticks[keep[0] if keep else after:].copy()
        keep.extend(range(after, len(ticks)))
        return ticks[np.asarray(keep, dtype=np.intp)]

    def _advance(self, fresh: np.ndarray) -> None:
        last = int(fresh["time_msc"][-1])
        at_last = fresh[int(np.searchsorted(fresh["time_msc"], last, side="left")):]
        if last != self.last_ms:
            self.seen = Counter()
        self.seen.update(_keys(at_last))
        self.last_ms = last


def watch_ticks(symbols: str | Iterable[str], *, flags: int = CopyTicks.ALL, poll_interval: float = 0.25,
                since: Date | None = None, duration: float | None = None,
                batch: int = 10_000) -> Iterator[TickBatch]:
    """Yields ``TickBatch(symbol, ticks)`` as new ticks of the symbols arrive.

    ``symbols``: one name or several; ``flags``: ``CopyTicks.ALL``, ``INFO``
    or ``TRADE``; ``poll_interval``: seconds between polls when nothing is
    waiting; ``since``: POSIX seconds or a datetime to start from (older
    ticks first, then live ones), default: only ticks after the latest one;
    ``duration``: stop after that many seconds of real time, default never;
    ``batch``: ticks asked for per poll (more when a millisecond needs it).

    Needs a connection made with ``initialize()``. Arguments are checked and
    the start point taken at the call; then each poll that fails (unknown
    symbol, lost connection) raises ``WatchError`` with ``last_error()``.
    """
    names = [symbols] if isinstance(symbols, str) else list(symbols)
    if not names or not all(isinstance(n, str) for n in names):
        raise TypeError("symbols must be a symbol name or a non-empty list of names")
    if poll_interval < 0 or not math.isfinite(poll_interval):
        raise ValueError("poll_interval must be a finite number of seconds, 0 or more")
    if batch < 1:
        raise ValueError("batch must be at least 1")
    start_ms = None if since is None else _start_ms(since)
    # The start point is taken now, at the call, not at the first next().
    cursors = [_Cursor(name, int(flags), batch, start_ms) for name in names]
    return _watch(cursors, poll_interval, duration)


def _watch(cursors: list[_Cursor], poll_interval: float, duration: float | None) -> Iterator[TickBatch]:
    deadline = None if duration is None else time.monotonic() + duration
    while True:
        backlog = False
        for cursor in cursors:
            ticks, full = cursor.poll()
            backlog = backlog or full
            if len(ticks):
                yield TickBatch(cursor.symbol, ticks)
        if deadline is not None and time.monotonic() >= deadline:
            return
        if not backlog:
            pause = poll_interval
            if deadline is not None:
                pause = min(pause, max(0.0, deadline - time.monotonic()))
            time.sleep(pause)
