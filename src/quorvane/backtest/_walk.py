"""Walk-forward analysis: the grid swept on each training window, the best
set run on the test window that follows it, and the test windows' trading
as one account from the first test window to the last.

The out-of-sample run is a single backtest over the test windows whose
strategy changes at each window's start: from then on it is
``factory(**that window's chosen set)``, made fresh, and it finds the
account as the previous window's strategy left it (its balance, its open
positions and pending orders). So the deals, orders and equity are those
of one Terminal account, as ``run`` gives them, and the statistics are
those of that equity curve. A window's chosen set comes from backtests
that end where its test window starts, and the run reaches a window's end
before it reads anything after it: nothing a window does depends on data
after its end.
"""

from __future__ import annotations

import bisect
import datetime as dt
import math
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ._progress import Bar, wanted
from ._result import Result
from ._run import Bars, _bar_ms, _names, checked_start, checked_timeframe, to_ms
from ._stats import DEFINITIONS, HEADLINE, STATS
from ._sweep import Grid, Table, Workers, one, parameter_sets, worker_run

# A window's bounds, ms: training start and end, test start and end.
Window = Tuple[int, int, int, int]
Span = Union[dt.timedelta, int, float]
By = Union[str, Callable[[Dict[str, Any]], Any]]

_DAY_MS = 86_400_000
_EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
_BOUNDS = ("train_start", "train_end", "test_start", "test_end")
_KINDS = {name: kind for name, kind, _ in DEFINITIONS}


def _span(value: Span, name: str) -> int:
    """A window's length argument (a timedelta or a number of days) in ms."""
    if isinstance(value, dt.timedelta):
        ms = value // dt.timedelta(milliseconds=1)
    elif isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
        ms = round(value * _DAY_MS)
    else:
        raise TypeError(f"{name} must be a timedelta or a number of days, not {value!r}")
    if ms <= 0:
        raise ValueError(f"{name}={value!r} must be a positive length (a timedelta or a number of days)")
    return ms


def windows(start_ms: int, end_ms: int, train_ms: int, test_ms: int, anchored: bool) -> List[Window]:
    """The walk's windows: test windows of ``test_ms`` one after the other
    from ``start_ms + train_ms``, as many whole ones as end by ``end_ms``,
    each trained on the ``train_ms`` before it (rolling) or on everything
    from ``start_ms`` (anchored)."""
    out = []
    test_start = start_ms + train_ms
    while test_start + test_ms <= end_ms:
        out.append((start_ms if anchored else test_start - train_ms, test_start, test_start, test_start + test_ms))
        test_start += test_ms
    return out


def _when(ms: int) -> dt.datetime:
    return _EPOCH + dt.timedelta(milliseconds=ms)


def _length(ms: int) -> str:
    return str(dt.timedelta(milliseconds=ms))


def _scorer(by: By) -> Tuple[str, Callable[[Dict[str, Any]], Any], Callable[[Dict[str, Any]], Any]]:
    """``by`` as the windows table's column name, what that column shows of
    a training row, and the key the best row has highest."""
    if callable(by):
        return "train_score", by, by
    if not isinstance(by, str):
        raise TypeError(f"by must be a statistic's name or a function of a sweep's row, not {by!r}")
    lowest = by.startswith("-")
    name = by[1:] if lowest else by
    if name not in STATS or _KINDS[name] == "time":
        raise ValueError(f"by={by!r} names no statistic to rank by: give a name of backtest.STATS other than "
                         f"start and end (such as 'sharpe', highest best), '-' and a name (such as "
                         f"'-max_drawdown_pct', lowest best), or a function of a row")
    shown: Callable[[Dict[str, Any]], Any] = lambda row: row[name]  # noqa: E731
    key: Callable[[Dict[str, Any]], Any] = (lambda row: -row[name]) if lowest else shown  # noqa: E731
    return f"train_{name}", shown, key


def best(rows: Sequence[Dict[str, Any]], key: Callable[[Dict[str, Any]], Any]) -> int:
    """The index of the row with the highest ``key``: the first of equals,
    NaN ranking below any number (so the first row when all are NaN)."""
    def rank(row: Dict[str, Any]) -> Tuple[int, Any]:
        value = key(row)
        return (0, 0) if isinstance(value, float) and math.isnan(value) else (1, value)

    chosen = 0
    for i in range(1, len(rows)):
        if rank(rows[i]) > rank(rows[chosen]):
            chosen = i
    return chosen


class Switching:
    """The out-of-sample strategy: for a bar closing in test window ``i``
    (after its start, by its end ``ends[i]``, ms), ``factory(**chosen[i])``,
    made at the window's first bar."""

    def __init__(self, factory: Callable[..., Any], chosen: Sequence[Dict[str, Any]], ends: Sequence[int],
                 timeframe: int) -> None:
        self._factory, self._chosen, self._ends = factory, list(chosen), list(ends)
        self._bars = Bars(timeframe)
        self._window = -1
        self._on_bar: Any = None

    def __call__(self, symbol: str, bars: np.ndarray) -> Any:
        closes_ms = self._bars.after(int(bars["time"][-1])) * 1000
        window = bisect.bisect_left(self._ends, closes_ms)
        if window != self._window:
            self._window = window
            self._on_bar = self._factory(**self._chosen[window])
        return self._on_bar(symbol, bars)


class WalkResult(Result):
    """A walk-forward's result: a ``Result`` (see there) of the out-of-sample
    trading, one account over the test windows from the first one's start
    to the last one's end, its ``stats`` those of that equity curve; and

    - ``windows``: a ``Table``, one row per window in time order: its
      ``train_start``, ``train_end``, ``test_start`` and ``test_end`` (UTC
      datetimes), the parameter set chosen, ``train_<stat>`` (the chosen
      set's figure on the training window; ``train_score`` when ``by`` is a
      function) and ``test_return_pct``, the account's equity change over
      the test window in percent;
    - ``training``: the sweep of each window's training, a ``Table`` each,
      as ``sweep`` returns it.
    """

    def __init__(self, *, windows: Table, training: List[Table], **fields: Any) -> None:
        super().__init__(**fields)
        self.windows = windows
        self.training = training

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={self.stats[k]:.4g}" if isinstance(self.stats[k], float) else f"{k}={self.stats[k]}"
                          for k in HEADLINE)
        return (f"<walk-forward Result of {','.join(self.symbols)}: {len(self.windows)} windows, "
                f"{len(self.equity)} steps, {shown}>")


def _test_return_pct(result: Result, test_start: int, test_end: int) -> float:
    times, equity = result.equity["time_msc"], result.equity["equity"]
    before, after = np.searchsorted(times, test_start), np.searchsorted(times, test_end)
    first = float(equity[before - 1]) if before else result.deposit
    last = float(equity[after - 1]) if after else result.deposit
    return (last / first - 1.0) * 100.0 if first > 0 else math.nan


def walk_forward(on_bar_factory: Callable[..., Any], grid: Grid, symbols: Union[str, Sequence[str]],
                 timeframe: int, start: Any, end: Any, *, train: Span, test: Span, anchored: bool = False,
                 by: By = "sharpe", client: Any = None, processes: Optional[int] = None,
                 progress: Optional[bool] = None, **options: Any) -> WalkResult:
    """Walk-forward analysis of ``on_bar_factory`` over ``grid``.

    The period from ``start`` to ``end`` is cut into test windows of
    ``test``, the first beginning ``train`` after ``start``, one after the
    other, as many whole ones as end by ``end`` (what remains after the last
    is left out). ``train`` and ``test``: a ``datetime.timedelta`` or a
    number of days (calendar days: a weekend counts), each at least one bar
    of ``timeframe``. Each test window is trained on the ``train`` just
    before it (rolling, the default) or, with ``anchored=True``, on all of
    the period from ``start`` to it.

    On each training window the grid is swept (as ``sweep`` does, all the
    windows' backtests at once) and the set with the highest ``by`` is
    chosen: ``by`` a name of ``STATS`` (highest best), ``"-"`` and a name
    (lowest best, such as ``"-max_drawdown_pct"``) or a function of a
    sweep's row returning a number to maximise; the first set of the grid
    among equals, NaN below any number. Then one backtest runs from the
    first test window's start to the last one's end, with one account: in
    each window the strategy is ``on_bar_factory(**its chosen set)``, made
    fresh at the window's first bar, which finds the account (balance, open
    positions, pending orders) as the window before left it. A bar belongs
    to the window in which it closes.

    Returns a ``WalkResult``: the ``Result`` of that backtest, its stats
    over the out-of-sample equity, with ``windows`` (each window's bounds,
    chosen set and training figure) and ``training`` (each window's sweep).
    ``symbols``, ``timeframe``, ``start``, ``end`` and ``options`` are those
    of ``run``; ``client``, ``processes``, the workers and the handling of
    errors and Ctrl+C those of ``sweep``: every backtest, the last one too,
    runs in a worker process, locally or on a Dask cluster, with the same
    result. ``progress``: a bar of the backtests done of all of them and the
    time left (None: shown when standard error is a terminal or in a
    notebook, with tqdm installed).
    """
    sets = parameter_sets(grid)
    if not sets:
        raise ValueError("the grid holds no parameter set")
    column, shown, key = _scorer(by)
    for parameters in sets:
        clash = set(parameters) & set(STATS + _BOUNDS + (column, "test_return_pct"))
        if clash:
            raise ValueError(f"parameter names {sorted(clash)} clash with the names of the stats or of the "
                             f"windows table's columns")
    names = _names(symbols)
    minutes = checked_timeframe(timeframe)
    start_ms, end_ms = checked_start(start), to_ms(end, "end")
    train_ms, test_ms = _span(train, "train"), _span(test, "test")
    bar_ms = _bar_ms(minutes)
    for name, value, ms in (("train", train, train_ms), ("test", test, test_ms)):
        if ms < bar_ms:
            raise ValueError(f"{name}={value!r} is shorter than one {minutes.name} bar")
    if not isinstance(anchored, bool):
        raise TypeError(f"anchored must be True or False, not {anchored!r}")
    walk = windows(start_ms, end_ms, train_ms, test_ms, anchored)
    if not walk:
        raise ValueError(f"the period from start={start!r} to end={end!r} holds no training window of "
                         f"{_length(train_ms)} followed by a test window of {_length(test_ms)}")
    show = wanted(progress)
    period = (names, int(minutes))
    trainings = [(one, (on_bar_factory, parameters, period + (_when(w[0]), _when(w[1])), options))
                 for w in walk for parameters in sets]
    with Workers(client, processes) as workers, \
            Bar(show, len(trainings) + 1, "backtest", "walk-forward") as bar:
        stats = workers.map(trainings, bar.advance)
        training = [Table({**p, **s} for p, s in zip(sets, stats[i * len(sets):(i + 1) * len(sets)]))
                    for i in range(len(walk))]
        chosen = [best(table, key) for table in training]
        switching = dict(factory=on_bar_factory, chosen=[sets[i] for i in chosen], ends=[w[3] for w in walk],
                         timeframe=int(minutes))
        tested = workers.map([(worker_run, (Switching, switching, period + (_when(walk[0][2]), _when(walk[-1][3])),
                                            options))], bar.advance)[0]
    rows = Table({**dict(zip(_BOUNDS, map(_when, w))), **sets[i], column: shown(table[i]),
                  "test_return_pct": _test_return_pct(tested, w[2], w[3])}
                 for w, i, table in zip(walk, chosen, training))
    settings: Dict[str, Any] = dict(tested.settings)
    settings.update(walk_forward="anchored" if anchored else "rolling", train=_length(train_ms),
                    test=_length(test_ms), windows=len(walk),
                    by=getattr(by, "__name__", repr(by)) if callable(by) else by,
                    grid=_grid_text(grid, len(sets)))
    return WalkResult(windows=rows, training=training, deals=tested.deals, orders=tested.orders,
                      positions=tested.positions, pending=tested.pending, equity=tested.equity,
                      deposit=tested.deposit, currency=tested.currency, symbols=tested.symbols,
                      timeframe=tested.timeframe, start_ms=tested.start_ms, end_ms=tested.end_ms,
                      market=tested.market, settings=settings)


def _grid_text(grid: Grid, count: int) -> str:
    if isinstance(grid, Mapping):
        return "; ".join(f"{name}: {', '.join(map(repr, values))}" for name, values in grid.items())
    return f"{count} parameter sets"
