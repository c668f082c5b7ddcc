"""backtest.walk_forward (its windows, its choice, that a window never
depends on later data, local and Dask alike) and the progress bars of run,
sweep and walk_forward."""

from __future__ import annotations

import datetime as dt
import math
import os
import re
from pathlib import Path

import host
import numpy as np
import pytest
from backtest_strategies import ma_crossover

import quorvane as qv
from quorvane import backtest
from quorvane.backtest import _progress, _run, _sweep, _walk

DAY = 86_400_000
T0 = 1_767_571_200_000  # 2026-01-05 00:00 UTC, a Monday
UTC = dt.timezone.utc


def at(ms: int) -> dt.datetime:
    return dt.datetime.fromtimestamp(ms / 1000, UTC)


@pytest.fixture
def strategies_importable(monkeypatch):
    # The workers are new interpreters: they import the strategies from here.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")]))


def write_ticks(folder: Path, mirror_from: int | None = None) -> Path:
    """MYEUR: a seeded random walk of EURUSD-like ticks every 5 minutes from
    T0 for five days; from ``mirror_from`` (ms) on, the walk turned upside
    down about its first price there (the times unchanged)."""
    times = T0 + np.arange(5 * 288, dtype=np.int64) * 300_000
    bid = 1.1 + np.cumsum(np.random.default_rng(7).normal(0.0, 0.0004, len(times)))
    if mirror_from is not None:
        later = times >= mirror_from
        bid[later] = 2 * bid[later][0] - bid[later]
    rows = [f"{t},{b:.5f},{b + 0.0001:.5f}" for t, b in zip(times, bid)]
    (folder / "ticks.csv").write_text("time_msc,bid,ask\n" + "\n".join(rows) + "\n")
    data = folder / "data"
    backtest.import_ticks(data, "MYEUR", folder / "ticks.csv", like="EURUSD")
    return data


GRID = {"fast": [3, 6], "slow": [12]}
# Four test windows of a day, Tuesday to Friday, each trained on the day before.
WALK = dict(symbols="MYEUR", timeframe=qv.Timeframe.M15, start=T0 / 1000, end=T0 / 1000 + 5 * 86400, train=1, test=1)


@pytest.mark.parametrize("train, test, anchored, expected", [
    (2 * DAY, DAY, False, [(0, 2, 2, 3), (1, 3, 3, 4), (2, 4, 4, 5)]),
    (2 * DAY, DAY, True, [(0, 2, 2, 3), (0, 3, 3, 4), (0, 4, 4, 5)]),
    (DAY, 2 * DAY, False, [(0, 1, 1, 3), (2, 3, 3, 5)]),     # whole test windows only: none from day 5
    (DAY * 3 // 2, DAY * 3 // 2, False, [(0, 1.5, 1.5, 3), (1.5, 3, 3, 4.5)]),
    (5 * DAY, DAY, False, []),
])
def test_windows(train, test, anchored, expected):
    got = _walk.windows(T0, T0 + 5.5 * DAY, train, test, anchored)
    assert got == [tuple(T0 + round(d * DAY) for d in w) for w in expected]


@pytest.mark.parametrize("given, error, says", [
    (dict(train="30d"), TypeError, r"^train must be a timedelta or a number of days, not '30d'$"),
    (dict(test=True), TypeError, r"^test must be a timedelta or a number of days, not True$"),
    (dict(train=dt.timedelta(0)), ValueError,
     r"^train=datetime.timedelta\(0\) must be a positive length \(a timedelta or a number of days\)$"),
    (dict(test=-1), ValueError, r"^test=-1 must be a positive length"),
    (dict(test=dt.timedelta(minutes=10)), ValueError, r"^test=datetime.timedelta\(seconds=600\) is shorter than one "
                                                      r"M15 bar$"),
    (dict(train=4.5), ValueError, r"^the period from start=1767571200.0 to end=1768003200.0 holds no training "
                                  r"window of 4 days, 12:00:00 followed by a test window of 1 day, 0:00:00$"),
    (dict(by="sharp"), ValueError, r"^by='sharp' names no statistic to rank by"),
    (dict(by="-start"), ValueError, r"^by='-start' names no statistic to rank by"),
    (dict(by=3), TypeError, r"^by must be a statistic's name or a function of a sweep's row, not 3$"),
    (dict(anchored=1), TypeError, r"^anchored must be True or False, not 1$"),
    (dict(grid=[]), ValueError, r"^the grid holds no parameter set$"),
    (dict(grid={"train_sharpe": [1]}), ValueError, r"^parameter names \['train_sharpe'\] clash"),
    (dict(grid={"test_start": [1]}), ValueError, r"^parameter names \['test_start'\] clash"),
    (dict(start="1999-12-31"), ValueError, r"^start='1999-12-31' lies outside the market's years"),
    (dict(timeframe=7), ValueError, r"^timeframe must be a Timeframe, not 7$"),
    (dict(progress="yes"), TypeError, r"^progress must be True, False or None, not 'yes'$"),
])
def test_arguments_are_checked_before_any_backtest(given, error, says, monkeypatch):
    monkeypatch.setattr(_walk, "Workers", None)  # nothing may start
    arguments = {**WALK, "grid": GRID, **given}
    with pytest.raises(error, match=says):
        backtest.walk_forward(ma_crossover, **arguments)


NAN = math.nan


@pytest.mark.parametrize("by, column, rows, chosen", [
    ("sharpe", "train_sharpe", [{"sharpe": 0.1}, {"sharpe": 0.3}, {"sharpe": 0.3}], 1),    # the first of equals
    ("sharpe", "train_sharpe", [{"sharpe": NAN}, {"sharpe": -2.0}], 1),                   # NaN below any number
    ("sharpe", "train_sharpe", [{"sharpe": NAN}, {"sharpe": NAN}], 0),
    ("-max_drawdown_pct", "train_max_drawdown_pct", [{"max_drawdown_pct": 4.0}, {"max_drawdown_pct": 2.5}], 1),
    ("max_drawdown_duration", "train_max_drawdown_duration",
     [{"max_drawdown_duration": dt.timedelta(hours=2)}, {"max_drawdown_duration": dt.timedelta(hours=1)}], 0),
    (lambda row: row["trades"] * row["win_rate"], "train_score", [{"trades": 10, "win_rate": 0.5},
                                                                   {"trades": 4, "win_rate": 1.0}], 0),
])
def test_the_best_set(by, column, rows, chosen):
    name, shown, key = _walk._scorer(by)
    assert (name, _walk.best(rows, key)) == (column, chosen)
    # The column shows the stat itself (not negated), or the function's value.
    assert shown is by if callable(by) else shown(rows[chosen]) is rows[chosen][by.lstrip("-")]


def before(result, boundary: int):
    """What the out-of-sample run did before ``boundary`` (ms), as bytes."""
    deals = [d for d in result.deals if d.time_msc < boundary]
    orders = [o for o in result.orders if o.time_setup_msc < boundary]
    equity = result.equity[result.equity["time_msc"] < boundary]
    return repr((deals, orders)).encode() + equity.tobytes()


@pytest.mark.parametrize("window", [0, 1])
def test_a_window_never_depends_on_later_data(terminal_binary, private_folders, strategies_importable, window,
                                             monkeypatch):
    if host.UNDER_WINE:
        monkeypatch.setattr(_sweep.Workers, "map", lambda self, calls, done=None: [c(*a) for c, a in calls])
    (private_folders / "a").mkdir()
    (private_folders / "b").mkdir()
    options = dict(WALK, grid=GRID, folder=str(private_folders), processes=2, progress=False)
    first = backtest.walk_forward(ma_crossover, data=write_ticks(private_folders / "a"), **options)
    # The ticks after the window's end turned the other way: the windows up
    # to it, and the training of the next (which ends there), are unchanged.
    boundary = T0 + (window + 2) * DAY
    second = backtest.walk_forward(ma_crossover, data=write_ticks(private_folders / "b", boundary), **options)
    assert [w["test_end"] for w in first.windows] == [at(T0 + d * DAY) for d in (2, 3, 4, 5)]
    assert first.windows[:window + 1] == second.windows[:window + 1]
    trained = ("train_start", "train_end", "test_start", "test_end", "fast", "slow", "train_sharpe")
    assert [[w[k] for k in trained] for w in first.windows[:window + 2]] == \
           [[w[k] for k in trained] for w in second.windows[:window + 2]]
    assert first.training[:window + 2] == second.training[:window + 2]
    assert before(first, boundary) == before(second, boundary)
    # What comes after the end does change: the test could see a leak.
    assert first.deals != second.deals and first.training[window + 2] != second.training[window + 2]
    # The choice is the training's best, and the stats those of the stitched equity.
    for w, table in zip(first.windows, first.training):
        assert w["train_sharpe"] == max(row["sharpe"] for row in table)
    assert (first.stats["start"], first.stats["end"]) == (at(T0 + DAY), at(T0 + 5 * DAY))
    assert first.stats["final_equity"] == first.equity["equity"][-1]
    growth = np.prod([1 + w["test_return_pct"] / 100 for w in first.windows])
    assert growth == pytest.approx(first.stats["final_equity"] / first.deposit)
    assert not host.processes_of(private_folders, under=True)


def test_walk_forward_locally_and_on_dask(terminal_binary, private_folders, strategies_importable, capsys):
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("tqdm")
    options = dict(WALK, data=write_ticks(private_folders), folder=str(private_folders))
    local = backtest.walk_forward(ma_crossover, {"fast": [3, 6], "slow": [12, 24]}, processes=2, progress=True,
                                  **options)
    # Four windows of four sets, and the out-of-sample run.
    assert re.search(r"walk-forward: 100%\|[^|]*\| 17/17 \[", capsys.readouterr().err)
    assert len({(w["fast"], w["slow"]) for w in local.windows}) > 1 and local.stats["trades"] > 10
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        on_dask = backtest.walk_forward(ma_crossover, {"fast": [3, 6], "slow": [12, 24]}, client=client, **options)
    assert (on_dask.deals, on_dask.orders, on_dask.windows, on_dask.training) == \
           (local.deals, local.orders, local.windows, local.training)
    assert on_dask.equity.tobytes() == local.equity.tobytes()
    # One set: the walk is a plain run over the test windows, one account throughout.
    single = backtest.walk_forward(ma_crossover, {"fast": [3], "slow": [12]}, processes=1, **options)
    plain = backtest.run(ma_crossover(3, 12), "MYEUR", qv.Timeframe.M15, T0 / 1000 + 86400, T0 / 1000 + 5 * 86400,
                         data=options["data"], folder=str(private_folders))
    assert (single.deals, single.orders, single.stats) == (plain.deals, plain.orders, plain.stats)
    assert single.equity.tobytes() == plain.equity.tobytes()
    assert not host.processes_of(private_folders, under=True)


@pytest.mark.parametrize("given, terminal, notebook, tqdm, shown", [
    (None, True, False, True, True),
    (None, False, False, True, False),      # a file, a pipe, CI's log
    (None, False, True, True, True),        # a notebook's kernel
    (None, True, False, False, False),      # no tqdm: quietly none
    (False, True, False, True, False),
    (True, False, False, True, True),
    (True, True, False, False, ImportError),
])
def test_when_a_progress_bar_shows(monkeypatch, given, terminal, notebook, tqdm, shown):
    monkeypatch.setattr(_progress, "_is_terminal", lambda stream: terminal)
    monkeypatch.setattr(_progress, "_in_notebook", lambda: notebook)
    monkeypatch.setattr(_progress, "_have_tqdm", lambda: tqdm)
    monkeypatch.setattr(_progress, "_tqdm", lambda: None)    # readying the bar is not this test's matter
    if shown is ImportError:
        with pytest.raises(ImportError, match=r'^progress bars need tqdm; install it with: pip install tqdm '
                                              r'\(or pip install "quorvane\[progress\]"\)$'):
            _progress.wanted(given)
    else:
        assert _progress.wanted(given) is shown


def test_a_run_s_progress(terminal_binary, private_folders, monkeypatch, capsys):
    pytest.importorskip("tqdm")
    week = dict(symbols="EURUSD", timeframe=qv.Timeframe.M5, start="2026-01-12", end="2026-01-14",
                folder=str(private_folders))
    quiet = backtest.run(ma_crossover(5, 20), **week, progress=False)
    assert capsys.readouterr().err == ""
    monkeypatch.setattr(_progress, "DELAY_S", 0.0)  # shown at once, short as the run is
    shown = backtest.run(ma_crossover(5, 20), **week, progress=True)
    assert re.search(r"backtest EURUSD: 100%\|[^|]*\| 576/576 \[.*, 2026-01-14 00:00\]", capsys.readouterr().err)
    assert (shown.deals, shown.orders) == (quiet.deals, quiet.orders)
    assert shown.equity.tobytes() == quiet.equity.tobytes()
    # The hook drive() calls: the clock after the first step, then after the
    # first step at or past the clock the last call asked for.
    clocks = []

    class Recorder:
        def __init__(self, start_ms, end_ms, bar_ms, what):
            assert (start_ms, end_ms, bar_ms, what) == (T0 + 7 * DAY, T0 + 9 * DAY, 300_000, "backtest EURUSD")

        def __call__(self, now_ms):
            clocks.append(now_ms)
            return now_ms + 100 * 300_000 + 1   # the clock 100 bars on, and 1 ms

        def finish(self):
            clocks.append("finished")

        def close(self):
            clocks.append("closed")

    monkeypatch.setattr(_run, "RunBar", Recorder)
    backtest.run(ma_crossover(5, 20), **week, progress=True)
    assert clocks == [int(t) for t in quiet.equity["time_msc"][0::101]] + ["finished", "closed"]
    assert len(clocks) == 8
