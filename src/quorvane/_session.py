"""Sessions: a connection that opens on enter, closes on exit and, with
``reconnect``, comes back by itself when the Terminal goes away."""

from __future__ import annotations

import asyncio
import functools
import logging
import random
import threading
import time
from types import TracebackType
from typing import TYPE_CHECKING, Any, AsyncIterator, Callable, Coroutine, Iterable, Iterator, TypeVar

import numpy as np

from . import _core, _front, aio, live
from .constants import CopyTicks
from .live import Date, TickBatch, TradeCursor, TradeEvent

if TYPE_CHECKING:
    # The functions as session methods, as the stub of _core describes them
    # (made from it at build time).
    from ._forms import _AsyncSessionMethods, _SessionMethods
else:
    _SessionMethods = _AsyncSessionMethods = object

R = TypeVar("R")
_log = logging.getLogger("quorvane")

# The codes of a Terminal that has gone away: nothing was sent (no
# connection), or the request or its answer was cut off.
_NO_CONNECTION = -10004
_LINK_LOST = frozenset({-10001, -10002, _NO_CONNECTION})


class SessionError(ConnectionError):
    """A session could not connect; ``code`` and ``message`` are
    ``last_error()`` of the last attempt."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(f"could not connect to the Terminal: ({code}, {message!r})")
        self.code = code
        self.message = message

    def __reduce__(self) -> tuple[Any, ...]:  # whole across processes
        return (SessionError, (self.code, self.message))


def _failed(name: str, result: object) -> bool:
    """Whether a result may be a failure (the outcome then tells)."""
    return result is None or result is False or (name == "version" and result == (0, 0, ""))


def _method(name: str) -> Callable[..., Any]:
    """A session method: the package's function `name`, called through the
    session."""
    front = _front.function(name)

    def call(self: Session, /, *args: Any, **kwargs: Any) -> Any:
        return self._call(front, *args, **kwargs)

    call.__name__ = call.__qualname__ = name
    call.__doc__ = f"``quorvane.{name}`` through the session (it reconnects when needed)."
    return call


def _async_method(name: str) -> Callable[..., Coroutine[Any, Any, Any]]:
    """An async session method: the session method, run on the aio worker."""
    front = _front.function(name)

    async def call(self: AsyncSession, /, *args: Any, **kwargs: Any) -> Any:
        return await aio._run(functools.partial(self.session._call, front, *args, **kwargs))

    call.__name__ = call.__qualname__ = name
    call.__doc__ = f"Awaitable ``quorvane.{name}`` through the session (it reconnects when needed)."
    return call


class Session(_SessionMethods):
    """One connection to a Terminal: made on enter, closed on exit (``with``
    or ``async with``, which gives an ``AsyncSession``).

    Its methods are the module functions (all but ``initialize`` and
    ``shutdown``), with the same arguments and results. With ``reconnect``, a
    call that finds the Terminal gone (codes -10001, -10002, -10004)
    initializes again, with jittered exponential backoff for up to
    ``retry_for`` seconds (None: without end), restores the Depth of Market
    subscriptions made through the session, and makes the call again;
    ``order_send`` is made again only when it never reached the Terminal,
    since a trade that was sent may have been made. A call that cannot be
    completed returns its failure as the module does, ``last_error()``
    saying why (the last attempt to connect, when that failed).

    A call without an answer within ``stall_timeout`` seconds (None: no
    limit; ``initialize`` also gets its own waits for a starting Terminal
    and its readiness) is a stall: it is
    logged as a warning on the "quorvane" logger, counted in ``stalls``,
    passed to ``on_stall(name)`` (on the session's watchdog thread), and the
    connection is dropped, so the call ends as a lost connection would (and
    is made again with ``reconnect``).
    ``reconnects`` counts the connections made again.

    The watchers (``watch_ticks``, ``watch_bars``, ``watch_trades``) poll
    through the session: across a reconnect they go on from where they
    were, with nothing lost or doubled. Calls of one session from several
    threads are made one at a time.
    """

    def __init__(self, path: str | None = None, *, login: int | None = None, password: str | None = None,
                 server: str | None = None, timeout: int | None = None, portable: bool | None = None,
                 reconnect: bool = True, retry_for: float | None = 60.0, stall_timeout: float | None = 30.0,
                 backoff: tuple[float, float] = (0.05, 5.0), on_stall: Callable[[str], object] | None = None) -> None:
        self._args = () if path is None else (path,)
        given = {"login": login, "password": password, "server": server, "timeout": timeout, "portable": portable}
        self._kwargs: dict[str, Any] = {k: v for k, v in given.items() if v is not None}
        self.reconnect = reconnect
        self.retry_for = retry_for
        self.stall_timeout = stall_timeout
        self.backoff = backoff
        self.on_stall = on_stall
        self.reconnects = 0
        self.stalls = 0
        self._lock = threading.RLock()
        self._books: set[str] = set()
        self._busy: tuple[str, float, float] | None = None  # (call, start, deadline)
        self._dropped = threading.Event()  # set while no stall is being dropped
        self._dropped.set()
        self._closing = threading.Event()
        self._watchdog: threading.Thread | None = None

    # ---- opening and closing ---------------------------------------------------

    def open(self) -> Session:
        """Connects (with ``reconnect``, retrying as a lost connection would);
        raises ``SessionError`` when that fails."""
        with self._lock:
            self._closing.clear()
            if self.stall_timeout is not None and self._watchdog is None:
                self._watchdog = threading.Thread(target=self._watch, name="quorvane-session", daemon=True)
                self._watchdog.start()
            if not (self._connect() if self.reconnect else self._initialize()):
                code, message = _core.last_error()
                self._stop_watchdog()
                raise SessionError(code, message)
        return self

    def close(self) -> None:
        """Closes the connection; the Terminal keeps running. A call of the
        session in flight in another thread ends as a lost connection."""
        self._stop_watchdog()
        _core.shutdown()
        with self._lock:
            self._books.clear()
            _core.shutdown()

    def _stop_watchdog(self) -> None:
        self._closing.set()
        if self._watchdog is not None:
            self._watchdog.join()
            self._watchdog = None

    def __enter__(self) -> Session:
        return self.open()

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    async def __aenter__(self) -> AsyncSession:
        await aio._run(self.open)
        return AsyncSession(self)

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        trace: TracebackType | None) -> None:
        # Not on the aio worker: a call of a task still running there would
        # keep it waiting.
        await asyncio.get_running_loop().run_in_executor(None, self.close)

    # ---- calls -----------------------------------------------------------------------

    def _timed(self, name: str, call: Callable[[], R], extra: float = 0.0) -> R:
        if self.stall_timeout is None:
            return call()
        start = time.monotonic()
        self._busy = (name, start, start + self.stall_timeout + extra)
        try:
            return call()
        finally:
            self._busy = None

    def _initialize(self) -> bool:
        # initialize may wait on its own, for a starting Terminal and for its
        # readiness, as long as its timeout allows; only what lies beyond
        # that is a stall.
        own_waits = (self._kwargs.get("timeout") or 60000) / 1000
        return bool(self._timed("initialize", lambda: _core.initialize(*self._args, **self._kwargs), own_waits))

    def _connect(self) -> bool:
        """Initializes until it works or `retry_for` runs out; then restores
        the Depth of Market subscriptions."""
        low, high = self.backoff
        delay = low
        deadline = None if self.retry_for is None else time.monotonic() + self.retry_for
        attempts = 0
        while True:
            attempts += 1
            self._dropped.wait()
            if self._initialize():
                for symbol in sorted(self._books):
                    if not self._timed("market_book_add", lambda: _core.market_book_add(symbol)):
                        _log.warning("the Depth of Market of %s could not be restored: %s", symbol,
                                     _core.last_error())
                if attempts > 1:
                    _log.info("connected after %d attempts", attempts)
                return True
            pause = delay / 2 + random.uniform(0, delay / 2)
            if self._closing.is_set() or (deadline is not None and time.monotonic() + pause > deadline):
                return False
            time.sleep(pause)
            delay = min(delay * 2, high)

    def _reconnect(self) -> bool:
        code, message = _core.last_error()
        _log.warning("the Terminal is gone (%d, %s): connecting again", code, message)
        if not self._connect():
            return False
        self.reconnects += 1
        return True

    def _call(self, native: Callable[..., R], *args: Any, **kwargs: Any) -> R:
        name = native.__name__
        with self._lock:
            while True:
                result = self._timed(name, lambda: native(*args, **kwargs))
                if not _failed(name, result):
                    self._track(name, args, kwargs, result)
                    return result
                code = _core.last_error()[0]
                if code not in _LINK_LOST or not self.reconnect or self._closing.is_set():
                    return result
                if name in _front.ACTING and code != _NO_CONNECTION:
                    # The connection is closed now: the next call finds none
                    # and reconnects before it sends anything.
                    return result
                self._dropped.wait()
                if not self._reconnect():
                    return result

    def _track(self, name: str, args: tuple[Any, ...], kwargs: dict[str, Any], result: object) -> None:
        if name == "market_book_add" and args:
            self._books.add(args[0])
        elif name == "market_book_release" and args:
            self._books.discard(args[0])
        elif name == "login":
            fields = dict(zip(("login", "password", "server"), args), **kwargs)
            self._kwargs.update({k: v for k, v in fields.items() if k in ("login", "password", "server")})

    def _watch(self) -> None:
        """Drops the connection under a call that has waited too long."""
        assert self.stall_timeout is not None
        reported: tuple[str, float, float] | None = None
        while not self._closing.wait(min(self.stall_timeout / 4, 0.5)):
            busy = self._busy
            if busy is None or busy is reported or time.monotonic() < busy[2]:
                continue
            reported = busy
            self.stalls += 1
            _log.warning("%s got no answer from the Terminal within %.1f s: dropping the connection",
                         busy[0], busy[2] - busy[1])
            self._dropped.clear()
            try:
                if self.on_stall is not None:
                    self.on_stall(busy[0])
            finally:
                _core.shutdown()  # the call ends as a lost connection
                self._dropped.set()

    # ---- the module functions --------------------------------------------------

    def last_error(self) -> tuple[int, str]:
        """``quorvane.last_error``: the outcome of the latest call to finish."""
        return _core.last_error()


    # ---- watchers --------------------------------------------------------------------

    def watch_ticks(self, symbols: str | Iterable[str], *, flags: int = CopyTicks.ALL, poll_interval: float = 0.25,
                    since: Date | None = None, duration: float | None = None,
                    batch: int = 10_000) -> Iterator[TickBatch]:
        """``quorvane.live.watch_ticks`` through the session."""
        names, start_ms = live._tick_options(symbols, poll_interval, since, batch)
        return live._follow(live._TickStream(self, names, int(flags), batch, start_ms), poll_interval, duration)

    def watch_bars(self, symbol: str, timeframe: int, *, poll_interval: float = 0.25, since: Date | None = None,
                   duration: float | None = None) -> Iterator[np.ndarray]:
        """``quorvane.live.watch_bars`` through the session."""
        start = live._bar_start(poll_interval, since)
        return live._follow(live._BarStream(self, symbol, int(timeframe), start), poll_interval, duration)

    def watch_trades(self, *, poll_interval: float = 0.25, since: TradeCursor | Date | None = None,
                     duration: float | None = None) -> Iterator[TradeEvent]:
        """``quorvane.live.watch_trades`` through the session."""
        start = live._trade_start(poll_interval, since)
        return live._follow(live._TradeStream(self, start), poll_interval, duration)


class AsyncSession(_AsyncSessionMethods):
    """A ``Session`` inside ``async with``: the same methods, awaitable (run
    on the ``quorvane.aio`` worker), and the watchers as async iterators."""

    def __init__(self, session: Session) -> None:
        self.session = session

    async def last_error(self) -> tuple[int, str]:
        return await aio._run(_core.last_error)


    def watch_ticks(self, symbols: str | Iterable[str], *, flags: int = CopyTicks.ALL, poll_interval: float = 0.25,
                    since: Date | None = None, duration: float | None = None,
                    batch: int = 10_000) -> AsyncIterator[TickBatch]:
        """``quorvane.aio.watch_ticks`` through the session."""
        names, start_ms = live._tick_options(symbols, poll_interval, since, batch)
        session = self.session
        return aio._follow(lambda: live._TickStream(session, names, int(flags), batch, start_ms), poll_interval,
                          duration)

    def watch_bars(self, symbol: str, timeframe: int, *, poll_interval: float = 0.25, since: Date | None = None,
                   duration: float | None = None) -> AsyncIterator[np.ndarray]:
        """``quorvane.aio.watch_bars`` through the session."""
        start, session = live._bar_start(poll_interval, since), self.session
        return aio._follow(lambda: live._BarStream(session, symbol, int(timeframe), start), poll_interval, duration)

    def watch_trades(self, *, poll_interval: float = 0.25, since: TradeCursor | Date | None = None,
                     duration: float | None = None) -> AsyncIterator[TradeEvent]:
        """``quorvane.aio.watch_trades`` through the session."""
        start, session = live._trade_start(poll_interval, since), self.session
        return aio._follow(lambda: live._TradeStream(session, start), poll_interval, duration)


# Every function but those that open and close the connection, which the
# session does itself, and last_error, which it answers without a call.
for _name in _front.NAMES:
    if _name not in ("initialize", "shutdown", "last_error"):
        setattr(Session, _name, _method(_name))
        setattr(AsyncSession, _name, _async_method(_name))
del _name


def session(path: str | None = None, *, login: int | None = None, password: str | None = None,
            server: str | None = None, timeout: int | None = None, portable: bool | None = None,
            reconnect: bool = True, retry_for: float | None = 60.0, stall_timeout: float | None = 30.0,
            backoff: tuple[float, float] = (0.05, 5.0), on_stall: Callable[[str], object] | None = None) -> Session:
    """A session with a Terminal, for ``with`` (or ``async with``):

        with qv.session(qv.terminal_path(), login=5001001, password="demo1001") as s:
            print(s.account_info())
            for symbol, ticks in s.watch_ticks("EURUSD"):
                ...

    Enter initializes (``path`` and the keywords as for ``initialize``; a
    failure raises ``SessionError``), exit shuts down. With ``reconnect``,
    a call that finds the Terminal gone connects again (retrying for up to
    ``retry_for`` seconds with jittered exponential backoff between
    ``backoff`` seconds), restores the session's Depth of Market
    subscriptions and is made again; watchers go on from their cursors. A
    call without an answer within ``stall_timeout`` seconds is reported
    (a warning on the "quorvane" logger, ``Session.stalls``, ``on_stall``)
    and its connection dropped. See ``Session``.
    """
    return Session(path, login=login, password=password, server=server, timeout=timeout, portable=portable,
                   reconnect=reconnect, retry_for=retry_for, stall_timeout=stall_timeout, backoff=backoff,
                   on_stall=on_stall)
