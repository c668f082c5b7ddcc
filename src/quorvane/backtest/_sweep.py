"""Parameter sweeps: one backtest per parameter set, each in a process of its
own with its own private Terminal, locally or on a Dask cluster."""

from __future__ import annotations

import itertools
import multiprocessing
import threading
from concurrent.futures import ProcessPoolExecutor
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Union

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
    from ._run import run

    with _ONE_AT_A_TIME:
        result = run(factory(**parameters), *args, **options)
    return dict(result.stats)


def _row(parameters: Dict[str, Any], stats: Dict[str, Any]) -> Dict[str, Any]:
    clash = set(parameters) & set(STATS)
    if clash:
        raise ValueError(f"parameter names {sorted(clash)} clash with the stats' names")
    return {**parameters, **stats}


def sweep(on_bar_factory: Callable[..., Any], grid: Grid, symbols: Union[str, Sequence[str]], timeframe: int,
          start: Any, end: Any, *, client: Any = None, processes: Optional[int] = None,
          **options: Any) -> Table:
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
    that fails raises its exception here. The same grid gives the same
    table wherever it runs.
    """
    sets = parameter_sets(grid)
    for parameters in sets:
        _row(parameters, {})
    args = (symbols, timeframe, start, end)
    if client is not None:
        futures = client.map(one, [on_bar_factory] * len(sets), sets, [args] * len(sets), [options] * len(sets),
                             pure=False)
        stats = client.gather(futures)
    elif sets:
        workers = max(1, min(len(sets), processes or multiprocessing.cpu_count() or 1))
        # A fresh interpreter per worker: a forked copy would share this
        # process's connection and threads.
        context = multiprocessing.get_context("spawn")
        with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
            stats = list(pool.map(one, [on_bar_factory] * len(sets), sets, [args] * len(sets),
                                  [options] * len(sets)))
    else:
        stats = []
    return Table(_row(p, s) for p, s in zip(sets, stats))

