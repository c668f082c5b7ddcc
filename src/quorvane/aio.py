"""The 32 functions as awaitables, and the live streams as async iterators.

    import quorvane as qv
    from quorvane import aio

    async def main():
        if not await aio.initialize(qv.terminal_path()):
            raise SystemExit(await aio.last_error())
        tick = await aio.symbol_info_tick("EURUSD")
        bars = await aio.copy_rates_from_pos("EURUSD", qv.Timeframe.H1, 0, 100)
        async for symbol, ticks in aio.watch_ticks("EURUSD", duration=10):
            print(symbol, ticks["bid"][-1])

Each function takes the same arguments and gives the same result as its
namesake in ``quorvane``; ``last_error()`` keeps its meaning (the outcome of
the latest call to finish). The call runs on a worker thread, so the event
loop goes on while the Terminal answers. One worker serves the process:
calls run one at a time in the order they were awaited, as the module runs
them anyway. Nothing here starts, nests or closes an event loop: the
functions work in any running loop, Jupyter's included, as they are.

Cancelling a task that awaits a call does not stop the call once it runs
(its result is dropped); a call still waiting its turn is skipped.
``initialize`` and ``shutdown`` (sync or async) interrupt the call in
flight, which then ends with a lost-connection failure.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import os
import queue
import threading
from typing import TYPE_CHECKING, Any, AsyncIterator, Callable, Coroutine, Iterable, TypeVar

import numpy as np

from . import _core, _front, live
from .constants import CopyTicks
from .live import Date, TickBatch, TradeCursor, TradeEvent, WatchError

if TYPE_CHECKING:
    # The awaitable forms of the functions, as the stub of _core describes
    # them (made from it at build time).
    from ._forms import *  # noqa: F401,F403

__all__ = [*_front.NAMES, "TickBatch", "TradeCursor", "TradeEvent", "WatchError", "watch_bars", "watch_ticks",
           "watch_trades"]

T = TypeVar("T")


class _Worker:
    """A daemon thread running blocking calls for event loops, in order. A
    daemon, so that a call the Terminal never answers cannot hold up the
    interpreter's exit."""

    def __init__(self) -> None:
        self.jobs: queue.SimpleQueue[tuple[Callable[[], Any], asyncio.AbstractEventLoop, asyncio.Future[Any]]] = (
            queue.SimpleQueue())
        self.thread = threading.Thread(target=self._serve, name="quorvane-aio", daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        while True:
            call, loop, future = self.jobs.get()
            if future.cancelled():
                continue
            try:
                outcome: tuple[bool, Any] = (True, call())
            except BaseException as error:  # noqa: BLE001 - handed to the awaiting task
                outcome = (False, error)
            try:
                loop.call_soon_threadsafe(_settle, future, outcome)
            except RuntimeError:  # the loop was closed meanwhile
                pass


def _settle(future: asyncio.Future[Any], outcome: tuple[bool, Any]) -> None:
    if future.done():
        return
    ok, value = outcome
    if ok:
        future.set_result(value)
    else:
        future.set_exception(value)


_worker: _Worker | None = None
_worker_lock = threading.Lock()


def _forget_worker() -> None:
    global _worker
    _worker = None  # a forked child has no worker thread: the next call makes one


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_worker)


async def _run(call: Callable[[], T]) -> T:
    """Runs the blocking `call` on the worker and waits for it without
    blocking the event loop."""
    global _worker
    worker = _worker
    if worker is None:
        with _worker_lock:
            if _worker is None:
                _worker = _Worker()
            worker = _worker
    loop = asyncio.get_running_loop()
    future: asyncio.Future[T] = loop.create_future()
    worker.jobs.put((call, loop, future))
    return await future


def _awaitable(name: str) -> Callable[..., Coroutine[Any, Any, Any]]:
    """The awaitable form of the package's function `name`: it calls that
    function (with what the package adds to the native one) on the worker,
    and describes itself like it."""
    described = _front.function(name)

    async def call(*args: Any, **kwargs: Any) -> Any:
        return await _run(functools.partial(described, *args, **kwargs))

    call.__name__ = call.__qualname__ = name
    call.__module__ = __name__
    call.__doc__ = f"Awaitable ``quorvane.{name}``: the same arguments and result.\n\n{described.__doc__ or ''}"
    call.__signature__ = inspect.signature(described)  # type: ignore[attr-defined]
    call.__wrapped__ = getattr(_core, name)  # type: ignore[attr-defined]
    return call


globals().update((_name, _awaitable(_name)) for _name in _front.NAMES)


# ---- live streams --------------------------------------------------------------------


async def _follow(make: Callable[[], live._Stream[T]], poll_interval: float,
                 duration: float | None) -> AsyncIterator[T]:
    """The async form of ``live._follow``: the stream is made (its start point
    taken) and polled on the worker, and the pauses are the event loop's."""
    pace = live._Pace(poll_interval, duration)
    stream = await _run(make)
    while True:
        items, backlog = await _run(stream.poll)
        for item in items:
            yield item
        pause = pace.pause(backlog)
        if pause is None:
            return
        if pause:
            await asyncio.sleep(pause)


def watch_ticks(symbols: str | Iterable[str], *, flags: int = CopyTicks.ALL, poll_interval: float = 0.25,
                since: Date | None = None, duration: float | None = None,
                batch: int = 10_000) -> AsyncIterator[TickBatch]:
    """``quorvane.live.watch_ticks`` as an async iterator: the same arguments
    and batches. Arguments are checked at the call; the start point is taken
    at the first iteration."""
    names, start_ms = live._tick_options(symbols, poll_interval, since, batch)
    return _follow(lambda: live._TickStream(_core, names, int(flags), batch, start_ms), poll_interval, duration)


def watch_bars(symbol: str, timeframe: int, *, poll_interval: float = 0.25, since: Date | None = None,
               duration: float | None = None) -> AsyncIterator[np.ndarray]:
    """``quorvane.live.watch_bars`` as an async iterator (start point taken
    at the first iteration)."""
    start = live._bar_start(poll_interval, since)
    return _follow(lambda: live._BarStream(_core, symbol, int(timeframe), start), poll_interval, duration)


def watch_trades(*, poll_interval: float = 0.25, since: TradeCursor | Date | None = None,
                 duration: float | None = None) -> AsyncIterator[TradeEvent]:
    """``quorvane.live.watch_trades`` as an async iterator (start point taken
    at the first iteration)."""
    start = live._trade_start(poll_interval, since)
    return _follow(lambda: live._TradeStream(_core, start), poll_interval, duration)
