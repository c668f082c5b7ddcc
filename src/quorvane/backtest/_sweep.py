"""Parameter sweeps: one backtest per parameter set, each in a process of its
own with its own private Terminal, locally or on a Dask cluster.

A local sweep that ends early (Ctrl+C, or a backtest's error) stops at once:
the sets not yet begun never start, and the backtests under way are
interrupted in their workers, which clean up (Terminal and folders) before
the exception reaches the caller. A worker takes Ctrl+C (from the console,
or from the sweep through a shared event) only while a backtest runs in it,
so one between backtests is never hit by it.
"""

from __future__ import annotations

import _thread
import concurrent.futures
import itertools
import multiprocessing
import signal
import threading
from concurrent.futures import ProcessPoolExecutor
from types import FrameType, TracebackType
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Type, Union

from ._progress import Bar, wanted
from ._result import STATS

Grid = Union[Mapping[str, Sequence[Any]], Iterable[Mapping[str, Any]]]

# The module has one connection per process: backtests that share a process
# (a Dask worker with several threads) take turns.
_ONE_AT_A_TIME = threading.Lock()


class Table(List[Dict[str, Any]]):
    """A sweep's rows, in the grid's order: each the parameter set's values
    and then the ``stats`` of its backtest. Compares as the plain list."""

    def to_pandas(self) -> Any:
        """The table as a pandas DataFrame, one column per parameter and stat."""
        import pandas

        return pandas.DataFrame(list(self))


def parameter_sets(grid: Grid) -> List[Dict[str, Any]]:
    """The parameter sets of a grid: every combination of a mapping of
    name -> values (in the mapping's order, the last name varying fastest),
    or the mappings of an iterable as they are."""
    if isinstance(grid, Mapping):
        names = list(grid)
        values = [list(grid[name]) for name in names]
        return [dict(zip(names, combination)) for combination in itertools.product(*values)]
    sets = [dict(item) for item in grid]
    for item in sets:
        if not all(isinstance(key, str) for key in item):
            raise TypeError("a parameter set's names must be texts")
    return sets


def one(factory: Callable[..., Any], parameters: Dict[str, Any], args: tuple[Any, ...],
        options: Dict[str, Any]) -> Dict[str, Any]:
    """Runs one backtest of the sweep where it is called (a worker)."""
    return dict(worker_run(factory, parameters, args, options).stats)


def worker_run(factory: Callable[..., Any], parameters: Dict[str, Any], args: tuple[Any, ...],
               options: Dict[str, Any]) -> Any:
    """``run`` of ``factory(**parameters)`` in a worker, taking turns with
    the others of its process (the strategy is made in its turn too),
    without a progress bar of its own (the sweep's bar counts it)."""
    from ._run import run

    with _ONE_AT_A_TIME:
        return run(factory(**parameters), *args, **{**options, "progress": False})


# In a local sweep's worker: the sweep's stop event, and the backtest under way.
_stop: Any = None
_task = {"running": False, "interrupted": False}


def _worker_start(stop: Any) -> None:
    """A local sweep's worker: Ctrl+C reaches a backtest under way (once),
    from the console or, through `stop`, from the sweep."""
    global _stop
    _stop = stop
    signal.signal(signal.SIGINT, _worker_interrupt)
    threading.Thread(target=_watch_stop, args=(stop,), name="quorvane-sweep-stop", daemon=True).start()


def _worker_interrupt(signum: int, frame: Optional[FrameType]) -> None:
    if _task["running"] and not _task["interrupted"]:
        _task["interrupted"] = True
        raise KeyboardInterrupt


def _watch_stop(stop: Any) -> None:
    stop.wait()
    _thread.interrupt_main()  # SIGINT's handler, in the main thread: the backtest under way ends


def _pooled(call: Callable[..., Any], args: Tuple[Any, ...]) -> Any:
    """``call(*args)`` (a backtest) in a local sweep's worker; one taken
    after the sweep stopped is not begun."""
    _task["running"], _task["interrupted"] = True, False
    try:
        if _stop is not None and _stop.is_set():
            raise KeyboardInterrupt
        return call(*args)
    finally:
        _task["running"] = False


class Workers:
    """Where a sweep's backtests run: a ``dask.distributed.Client``'s
    cluster, or a local pool of at most ``processes`` (default: the number
    of CPUs) fresh interpreters, made at the first backtest and kept until
    the ``with`` ends. An exception (a backtest's, or Ctrl+C) leaving the
    ``with`` stops the pool at once: the backtests under way are
    interrupted and none other starts."""

    def __init__(self, client: Any, processes: Optional[int]) -> None:
        self._client = client
        self._processes = processes
        self._pool: Optional[ProcessPoolExecutor] = None
        self._stop: Any = None

    def _local(self, most: int) -> ProcessPoolExecutor:
        if self._pool is None:
            workers = max(1, min(most, self._processes or multiprocessing.cpu_count() or 1))
            # A fresh interpreter per worker: a forked copy would share this
            # process's connection and threads.
            context = multiprocessing.get_context("spawn")
            self._stop = context.Event()
            self._pool = ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_worker_start,
                                             initargs=(self._stop,))
        return self._pool

    def map(self, calls: Sequence[Tuple[Callable[..., Any], Tuple[Any, ...]]],
            done: Callable[[], None] = lambda: None) -> List[Any]:
        """The results of ``call(*args)`` for each of ``calls``, in their
        order, each run in a worker; ``done()`` after each that ends. The
        first that fails raises its exception here."""
        if not calls:
            return []
        if self._client is not None:
            import distributed

            as_completed: Callable[[List[Any]], Iterable[Any]] = distributed.as_completed
            futures = [self._client.submit(call, *args, pure=False) for call, args in calls]
            try:
                for future in as_completed(futures):
                    future.result()
                    done()
                return list(self._client.gather(futures))
            except BaseException:
                self._client.cancel(futures)  # the tasks not yet begun never start
                raise
        pool = self._local(len(calls))
        pending = [pool.submit(_pooled, call, args) for call, args in calls]
        for future in concurrent.futures.as_completed(pending):
            future.result()
            done()
        return [future.result() for future in pending]

    def __enter__(self) -> "Workers":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        if self._pool is None:
            return
        if error is not None:
            # Backtests already handed to a worker cannot be cancelled: the
            # event ends the one under way and keeps the others from starting.
            self._stop.set()
            self._pool.shutdown(wait=True, cancel_futures=True)
        else:
            self._pool.shutdown(wait=True)


def _row(parameters: Dict[str, Any], stats: Dict[str, Any]) -> Dict[str, Any]:
    clash = set(parameters) & set(STATS)
    if clash:
        raise ValueError(f"parameter names {sorted(clash)} clash with the stats' names")
    return {**parameters, **stats}


def sweep(on_bar_factory: Callable[..., Any], grid: Grid, symbols: Union[str, Sequence[str]], timeframe: int,
          start: Any, end: Any, *, client: Any = None, processes: Optional[int] = None,
          progress: Optional[bool] = None, **options: Any) -> Table:
    """Backtests ``on_bar_factory(**parameters)`` for each parameter set of
    ``grid`` and returns a ``Table`` of the sets with their ``stats``.

    ``grid``: a mapping of parameter name -> values (every combination), or
    a list of mappings. ``symbols``, ``timeframe``, ``start``, ``end`` and
    ``options`` (``deposit``, ``currency``, ``data`` ...) are those of
    ``run``, the same for every set. Each backtest runs in a process other
    than this one, with its own private Terminal: locally in a pool of
    ``processes`` worker processes (default: the number of CPUs), or, with
    ``client`` (a ``dask.distributed.Client``), as one task per set on its
    cluster, where a worker process runs one backtest at a time. The factory
    must be importable by the workers (a function of a module, not a
    lambda); ``data`` must be a folder they can read. The first backtest
    that fails raises its exception here. Then, or on Ctrl+C, a local
    sweep stops at once: the backtests under way are interrupted, each
    stopping its Terminal and removing its folders, no other set starts,
    and the exception (``KeyboardInterrupt``) propagates; on Dask the tasks
    not yet begun are cancelled. The same grid gives the same table
    wherever it runs.

    ``progress``: a bar of the backtests done of the grid and the time
    left, as ``run``'s (None: shown when standard error is a terminal or in
    a notebook, with tqdm installed); the backtests show none of their own.
    """
    sets = parameter_sets(grid)
    for parameters in sets:
        _row(parameters, {})
    show = wanted(progress)
    args = (symbols, timeframe, start, end)
    calls = [(one, (on_bar_factory, parameters, args, options)) for parameters in sets]
    with Workers(client, processes) as workers, Bar(show and bool(sets), len(sets), "backtest", "sweep") as bar:
        stats = workers.map(calls, bar.advance)
    return Table(_row(p, s) for p, s in zip(sets, stats))

