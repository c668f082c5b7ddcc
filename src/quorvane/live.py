"""Live streams that poll the Terminal: new ticks, newly closed bars and the
account's trade events.

    for symbol, ticks in watch_ticks(["EURUSD", "BTCUSD"], duration=60):
        print(symbol, ticks["time_msc"][-1], ticks["bid"][-1])

    for bars in watch_bars("EURUSD", Timeframe.M1):
        print(bars["time"][-1], bars["close"][-1])

    for event in watch_trades():
        print(event.kind, event.ticket, event.record)

Each generator yields every item exactly once, in order, from its start
point on (the call, or ``since=``): joined, its output equals one history
read of the same period. A failed call raises ``WatchError`` carrying
``last_error()``; nothing is skipped silently. The generators hold no
resources: ``close()``, ``break`` or a ``KeyboardInterrupt`` (which
propagates, as it should) leave nothing behind. ``quorvane.aio`` has the
same streams as async iterators; a ``quorvane.session`` has them too, and
there they go on across a lost and remade connection, from where they were.

Ticks. Each poll asks ``copy_ticks_from`` for the ticks from the last one
already yielded. The Terminal answers in whole seconds, and several ticks
may share one millisecond, so every poll sees again part of what it has
yielded: the generator drops what lies before the last yielded millisecond
and, within that millisecond, exactly the ticks it has already yielded
(compared byte for byte, counting repeats), so a tick that arrives late
within that millisecond is still yielded once. A poll that fills its whole
``batch`` is followed at once by the next one (a backlog is drained before
sleeping).

Bars. A bar is closed once a newer bar has opened; each poll reads the bars
from the last one yielded on and yields all but the newest, which is still
forming.

Trades. Every new deal and every new state of an order of the account
(placed, filled, cancelled, expired, ...), in the order they appear, the
deals and orders a poll finds merged in time order. The Terminal answers
deals and orders in separate calls, so an event may appear after a later
dated one was yielded (on a frozen clock, where all share one millisecond,
it will). Each event has a ``cursor``, the time before which everything was
yielded plus the events yielded since; ``watch_trades(since=event.cursor)``
goes on right after that event, in this process or another, with exactly
the events not yet yielded.
"""

from __future__ import annotations

import datetime as _dt
import math
import operator
import time
from collections import Counter
from typing import Any, Iterable, Iterator, NamedTuple, Protocol, Sequence, TypeVar, Union

import numpy as np

from . import _core
from .constants import CopyTicks, OrderState

__all__ = ["TickBatch", "TradeCursor", "TradeEvent", "WatchError", "watch_bars", "watch_ticks", "watch_trades"]

Date = Union[int, float, _dt.datetime]
Item = TypeVar("Item")

# The last second a date argument can name (signed 32 bits).
_END_OF_TIME = 2**31 - 1


class TickBatch(NamedTuple):
    """New ticks of one symbol, oldest first (never empty)."""

    symbol: str
    ticks: np.ndarray


# An event's place in the time order: (time_msc, rank, ticket, state), rank 0
# for an order's opening states, 1 for a deal, 2 for an order's final states;
# state -1 for a deal.
EventKey = tuple[int, int, int, int]


class TradeCursor(NamedTuple):
    """Where a trade stream stands: every event of its span dated before
    ``time_msc`` and the events ``seen`` (keys ``(time_msc, rank, ticket,
    state)``, sorted) have been yielded. Events are yielded as they appear, which is not always in
    time order (an order placed in the millisecond of a deal already yielded
    comes after it), so a single position would skip such late ones; the set
    of what was yielded at and after ``time_msc`` does not. It is made of
    integers: ``pickle`` it, or ``TradeCursor(*json.loads(json.dumps(c)))``.
    ``watch_trades`` refuses one that is not as events give it (a negative
    time, a float, a bool or a text among its integers) with ValueError."""

    time_msc: int
    seen: tuple[EventKey, ...] = ()


class _TradeEvent(NamedTuple):
    kind: str
    time_msc: int
    ticket: int
    record: Any


class TradeEvent(_TradeEvent):
    """A new deal (``kind`` "deal", ``record`` a ``TradeDeal``) or a new state
    of an order (``kind`` "order", ``record`` a ``TradeOrder`` in that state).
    ``time_msc`` is the deal's time, the order's placing time for the states
    of an active order and its closing time for the final ones. ``cursor``:
    pass as ``since=`` to go on right after this event."""

    cursor: TradeCursor

    @property
    def key(self) -> EventKey:
        """The event's place in the time order (see ``EventKey``)."""
        if self.kind == "deal":
            return (self.time_msc, 1, self.ticket, -1)
        state = int(self.record.state)
        return (self.time_msc, 0 if state in _ACTIVE else 2, self.ticket, state)


class WatchError(RuntimeError):
    """A call failed while watching; ``code`` and ``message`` are the
    ``last_error()`` of that call, ``symbol`` the symbol watched (None for
    trades)."""

    def __init__(self, symbol: str | None, call: str, code: int, message: str) -> None:
        where = "" if symbol is None else f" for {symbol!r}"
        super().__init__(f"{call}{where} failed: ({code}, {message!r})")
        self._made = (symbol, call, code, message)
        self.symbol = symbol
        self.code = code
        self.message = message

    def __reduce__(self) -> tuple[Any, ...]:  # whole across processes
        return (WatchError, self._made)


# Where a stream's calls go: quorvane._core, or a session that reconnects.
_Api = Any


class _Stream(Protocol[Item]):
    def poll(self) -> tuple[list[Item], bool]:
        """New items, oldest first, and whether more are waiting already."""


def _failure(api: _Api, symbol: str | None, call: str) -> WatchError:
    code, message = api.last_error()
    return WatchError(symbol, call, code, message)


def _start_ms(since: Date) -> int:
    if isinstance(since, _dt.datetime):
        # Naive datetimes are local time, as everywhere in the module.
        return math.floor(since.timestamp() * 1000)
    if isinstance(since, (int, float)) and not isinstance(since, bool):
        return math.floor(since * 1000)
    raise TypeError(f"since must be POSIX seconds or a datetime, not {type(since).__name__}")


def _check_pace(poll_interval: float) -> None:
    if poll_interval < 0 or not math.isfinite(poll_interval):
        raise ValueError("poll_interval must be a finite number of seconds, 0 or more")


# ---- ticks ---------------------------------------------------------------------------


def _keys(ticks: np.ndarray) -> list[bytes]:
    """Each tick's bytes: ticks are compared whole, not by time alone."""
    raw = ticks.tobytes()
    size = ticks.dtype.itemsize
    return [raw[i:i + size] for i in range(0, len(raw), size)]


class _Cursor:
    """Where the stream of one symbol stands: the last yielded millisecond and
    the ticks already yielded at that millisecond."""

    def __init__(self, api: _Api, symbol: str, flags: int, batch: int, start_ms: int | None) -> None:
        self.api = api
        self.symbol = symbol
        self.flags = flags
        self.batch = batch
        self.seen: Counter[bytes] = Counter()
        if start_ms is not None:
            self.last_ms = start_ms
            return
        # Without a start point the stream begins after the latest tick: the
        # ticks now present at its millisecond count as already yielded.
        latest = api.symbol_info_tick(symbol)
        if latest is None:
            raise _failure(api, symbol, "symbol_info_tick")
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
        ticks: np.ndarray | None = self.api.copy_ticks_from(self.symbol, self.last_ms // 1000, count, self.flags)
        if ticks is None:
            raise _failure(self.api, self.symbol, "copy_ticks_from")
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


class _TickStream:
    def __init__(self, api: _Api, names: Sequence[str], flags: int, batch: int, start_ms: int | None) -> None:
        self.cursors = [_Cursor(api, name, flags, batch, start_ms) for name in names]

    def poll(self) -> tuple[list[TickBatch], bool]:
        batches, backlog = [], False
        for cursor in self.cursors:
            ticks, full = cursor.poll()
            backlog = backlog or full
            if len(ticks):
                batches.append(TickBatch(cursor.symbol, ticks))
        return batches, backlog


def _tick_options(symbols: str | Iterable[str], poll_interval: float, since: Date | None,
                 batch: int) -> tuple[list[str], int | None]:
    """The checked names and start point of a tick stream."""
    names = [symbols] if isinstance(symbols, str) else list(symbols)
    if not names or not all(isinstance(n, str) for n in names):
        raise TypeError("symbols must be a symbol name or a non-empty list of names")
    _check_pace(poll_interval)
    if batch < 1:
        raise ValueError("batch must be at least 1")
    return names, None if since is None else _start_ms(since)


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
    names, start_ms = _tick_options(symbols, poll_interval, since, batch)
    # The start point is taken now, at the call, not at the first next().
    return _follow(_TickStream(_core, names, int(flags), batch, start_ms), poll_interval, duration)


# ---- bars ----------------------------------------------------------------------------


class _BarStream:
    """Closed bars of one symbol and timeframe: a bar counts as closed once a
    newer one has opened, so each poll yields all but the newest bar read."""

    def __init__(self, api: _Api, symbol: str, timeframe: int, start_s: int | None) -> None:
        self.api, self.symbol, self.timeframe = api, symbol, timeframe
        if start_s is not None:
            self.last = start_s - 1
            return
        # Without a start point the stream begins after the latest closed bar.
        bars = self._check(api.copy_rates_from_pos(symbol, timeframe, 0, 2), "copy_rates_from_pos")
        self.last = int(bars["time"][0]) - (1 if len(bars) == 1 else 0) if len(bars) else -1

    def _check(self, bars: np.ndarray | None, call: str) -> np.ndarray:
        if bars is None:
            raise _failure(self.api, self.symbol, call)
        return bars

    def poll(self) -> tuple[list[np.ndarray], bool]:
        bars = self._check(self.api.copy_rates_range(self.symbol, self.timeframe, self.last + 1, _END_OF_TIME),
                           "copy_rates_range")
        closed = bars[:-1]
        if not len(closed):
            return [], False
        self.last = int(closed["time"][-1])
        return [closed.copy()], False


def watch_bars(symbol: str, timeframe: int, *, poll_interval: float = 0.25, since: Date | None = None,
               duration: float | None = None) -> Iterator[np.ndarray]:
    """Yields each newly closed bar of ``symbol`` exactly once, in order, as
    NumPy bar arrays (oldest first, never empty; usually one bar each).

    ``timeframe``: a ``Timeframe``; ``since``: POSIX seconds or a datetime:
    the closed bars opening from then on come first, then live ones;
    default: only bars that close after the call; ``poll_interval`` and
    ``duration`` as for ``watch_ticks``. A bar is closed once the next one
    has opened (the last bar before a weekend comes when the market opens).
    Failures raise ``WatchError`` with ``last_error()``.
    """
    return _follow(_BarStream(_core, symbol, int(timeframe), _bar_start(poll_interval, since)), poll_interval, duration)


def _bar_start(poll_interval: float, since: Date | None) -> int | None:
    """The checked start of a bar stream: the first opening time (seconds)."""
    _check_pace(poll_interval)
    return None if since is None else math.ceil(_start_ms(since) / 1000)


# ---- trades --------------------------------------------------------------------------

# States of an order that is still working; the others are final.
_ACTIVE = frozenset({OrderState.STARTED, OrderState.PLACED, OrderState.PARTIAL})


class _TradeStream:
    """Deals and order states of the account, each once.

    A poll reads the deals from ``floor`` on, the active orders, then the
    history orders (the whole history at the first poll, since an order
    placed long ago may close after the start point; from ``floor`` on after
    that), and, for an order active at the previous poll and found in neither
    now, that order by ticket. It yields, in time order, what it read that is
    neither before ``floor`` nor in ``seen``; and a new state of an order
    that was active at the previous poll, which is dated at its placing.

    ``floor`` is sound because the Terminal stamps a trade with its clock as
    it happens and that clock never goes back (across a restart too): a reply
    holds every record dated before the moment it was made. The deals are
    read first, after the orders of the previous poll, so the newest time in
    those replies is no later than any call of this poll; everything dated
    before it has been read by the end of this poll and becomes the next
    ``floor``. What was yielded and is dated at or after the floor stays in
    ``seen`` (with a moving clock the events of the last millisecond or so,
    with a frozen one every event, which all share one time), and so do the
    states of the orders still active.
    """

    def __init__(self, api: _Api, since: TradeCursor | int | None) -> None:
        self.api = api
        self.active: set[int] = set()
        self.whole = True  # the first read takes in the whole order history
        self.floor = -1 if since is None else since.time_msc if isinstance(since, TradeCursor) else since * 1000
        self.seen: set[EventKey] = set(since.seen) if isinstance(since, TradeCursor) else set()
        # The newest time in the replies of the previous poll.
        self.newest = self.floor
        if since is None:
            # Without a start point, everything there is now counts as seen.
            self._advance(set(), *self._read(), cursors=False)

    def _get(self, call: str, *args: Any, **kwargs: Any) -> Any:
        records = getattr(self.api, call)(*args, **kwargs)
        if records is None:
            raise _failure(self.api, None, call)
        return records

    def _read(self) -> tuple[list[TradeEvent], int]:
        """The events read, in time order, and the newest deal time among them."""
        window = max(0, self.floor // 1000)
        deals = self._get("history_deals_get", window, _END_OF_TIME)
        active = self._get("orders_get")
        orders = list(self._get("history_orders_get", 0 if self.whole else window, _END_OF_TIME))
        self.whole = False
        found = {o.ticket for o in orders} | {o.ticket for o in active}
        for ticket in sorted(self.active - found):
            orders.extend(self._get("history_orders_get", ticket=ticket))
        self.active = {int(o.ticket) for o in active}
        events = [TradeEvent("deal", int(d.time_msc), int(d.ticket), d) for d in deals]
        for o in [*orders, *active]:
            final = int(o.state) not in _ACTIVE
            events.append(TradeEvent("order", int(o.time_done_msc if final else o.time_setup_msc), int(o.ticket), o))
        unique = {e.key: e for e in events}
        return [unique[k] for k in sorted(unique)], max((int(d.time_msc) for d in deals), default=-1)

    def _advance(self, was_active: set[int], events: list[TradeEvent], newest_deal: int,
                 cursors: bool = True) -> list[TradeEvent]:
        """The new events of a read, each with its cursor; then the floor
        moves on."""
        fresh = []
        for event in events:
            key = event.key
            if key not in self.seen and (key[0] >= self.floor or key[1] == 0 and key[2] in was_active):
                self.seen.add(key)
                if cursors:
                    event.cursor = TradeCursor(self.floor, tuple(sorted(self.seen)))
                fresh.append(event)
        self.floor = max(self.floor, self.newest, newest_deal)
        self.newest = max([self.floor, *(e.time_msc for e in events)])
        self.seen = {k for k in self.seen if k[0] >= self.floor or k[1] == 0 and k[2] in self.active}
        return fresh

    def poll(self) -> tuple[list[TradeEvent], bool]:
        was_active = self.active
        return self._advance(was_active, *self._read()), False


def watch_trades(*, poll_interval: float = 0.25, since: TradeCursor | Date | None = None,
                 duration: float | None = None) -> Iterator[TradeEvent]:
    """Yields a ``TradeEvent`` for every new deal and every new order state
    of the account, exactly once, in the order they appear (each poll's in
    time order), so a strategy can react to fills, stop-loss and take-profit
    hits and stop-outs without polling the history itself.

    ``since``: the ``cursor`` of an event (go on right after it), or POSIX
    seconds or a datetime (events from then on); default: only what happens
    after the call. ``poll_interval`` and ``duration`` as for
    ``watch_ticks``. Failures raise ``WatchError`` with ``last_error()``.
    """
    return _follow(_TradeStream(_core, _trade_start(poll_interval, since)), poll_interval, duration)


def _trade_start(poll_interval: float, since: TradeCursor | Date | None) -> TradeCursor | int | None:
    """The checked start of a trade stream: a cursor, or a time in seconds."""
    _check_pace(poll_interval)
    if since is None:
        return None
    if isinstance(since, TradeCursor):
        return _exact_cursor(since)
    return _start_ms(since) // 1000


# The last millisecond of the last second a date argument can name.
_LAST_MS = _END_OF_TIME * 1000 + 999


def _whole(value: object, least: int, most: int) -> int | None:
    """`value` as an int when it is an integer (not a bool, a float or a
    text) from `least` to `most`, else None."""
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        return None
    number = operator.index(value)  # type: ignore[arg-type]
    return number if least <= number <= most else None


def _event_key(key: object) -> EventKey | None:
    """`key` as the key of an event (see ``EventKey``), or None."""
    if not isinstance(key, (tuple, list)) or len(key) != 4:
        return None
    time_msc, rank, ticket, state = (_whole(key[0], 0, _LAST_MS), _whole(key[1], 0, 2),
                                     _whole(key[2], 0, 2**64 - 1), _whole(key[3], -1, 2**31 - 1))
    if time_msc is None or rank is None or ticket is None or state is None or (rank == 1) != (state == -1):
        return None
    return (time_msc, rank, ticket, state)


def _exact_cursor(since: TradeCursor) -> TradeCursor:
    """`since` made again of plain ints, its keys sorted (one read back from
    JSON holds lists, one made by hand anything): ValueError unless it is a
    cursor as events give them."""
    refused = "since is not a trade cursor: "
    time_msc = _whole(since.time_msc, 0, _LAST_MS)
    if time_msc is None:
        raise ValueError(f"{refused}time_msc must be a whole number of milliseconds from 0 to {_LAST_MS}, "
                         f"not {since.time_msc!r}")
    if not isinstance(since.seen, (tuple, list)):
        raise ValueError(f"{refused}seen must be a list of event keys, not {type(since.seen).__name__}")
    seen: set[EventKey] = set()
    for key in since.seen:
        exact = _event_key(key)
        if exact is None:
            raise ValueError(f"{refused}{key!r} in seen is not an event's key (time_msc, rank, ticket, state)")
        seen.add(exact)
    return TradeCursor(time_msc, tuple(sorted(seen)))


# ---- driving a stream ----------------------------------------------------------------


class _Pace:
    """When a stream polls next: at once while a backlog is waiting, else
    after ``poll_interval``, and never past ``duration`` (timed from the
    first poll)."""

    def __init__(self, poll_interval: float, duration: float | None) -> None:
        self.poll_interval = poll_interval
        self.deadline = None if duration is None else time.monotonic() + duration

    def pause(self, backlog: bool) -> float | None:
        """Seconds to wait before the next poll; None when the time is up."""
        if self.deadline is None:
            return 0.0 if backlog else self.poll_interval
        left = self.deadline - time.monotonic()
        if left <= 0:
            return None
        return 0.0 if backlog else min(self.poll_interval, left)


def _follow(stream: _Stream[Item], poll_interval: float, duration: float | None) -> Iterator[Item]:
    """Polls `stream` and yields its items, at the pace of `_Pace`."""
    pace = _Pace(poll_interval, duration)
    while True:
        items, backlog = stream.poll()
        yield from items
        pause = pace.pause(backlog)
        if pause is None:
            return
        if pause:
            time.sleep(pause)
