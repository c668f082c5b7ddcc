"""quorvane.backtest.run and sweep against the bundled Terminal's stepped
clock: a hand-checked run on imported ticks, determinism, a failing
strategy, and a sweep locally and on Dask."""

from __future__ import annotations

import _thread
import datetime as dt
import hashlib
import math
import os
import pickle
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import host
import numpy as np
import pytest
from backtest_strategies import ma_crossover, readme_strategy, selling

import quorvane as qv
from quorvane import _instance, backtest, live, trade
from quorvane._session import SessionError

T0 = 1_767_571_200_000  # 2026-01-05 00:00 UTC, a Monday
HOUR = 3_600_000


@pytest.mark.parametrize("in_process", [True, False], ids=["inside", "apart"])
def test_hand_checked_run_on_imported_ticks(terminal_binary, private_folders, in_process):
    # Two EURUSD-like ticks an hour, 00:00 and 00:30, from T0 for six hours:
    # the bid rising by 5 pips each, the spread 1 pip.
    rows = [f"{T0 + i * HOUR // 2},{1.1 + 0.0005 * i:.5f},{1.1001 + 0.0005 * i:.5f}"
            for i in range(12)]
    (private_folders / "ticks.csv").write_text("time_msc,bid,ask\n" + "\n".join(rows) + "\n")
    data = private_folders / "data"
    backtest.import_ticks(data, "MYEUR", private_folders / "ticks.csv", like="EURUSD")
    calls, clock = [], []

    def strategy(symbol, bars):
        # What it is handed, and the Terminal's clock then.
        calls.append((symbol, bars["time"].tolist(), bars["close"].tolist()))
        clock.append(qv.symbol_info_tick(symbol).time_msc)
        if len(calls) == 2:
            # Buys a lot when the 01:00 bar has closed (at the 01:30 ask, 1.1016), take profit
            # 1.1035, which the 03:30 tick reaches inside the next-but-one step.
            trade.buy(symbol, 1.0, tp=1.1035, check=True)

    result = backtest.run(strategy, "MYEUR", qv.Timeframe.H1, T0 / 1000, T0 / 1000 + 6 * 3600, data=data,
                          terminal=None if in_process else terminal_binary, folder=str(private_folders))
    hours = [T0 // 1000 + 3600 * k for k in range(6)]
    closes = [round(1.1005 + 0.001 * k, 4) for k in range(6)]
    assert calls == [("MYEUR", hours[:k + 1], closes[:k + 1]) for k in range(6)]
    # The Terminal's clock stood at the bar's last tick, no later one.
    assert clock == [T0 + k * HOUR + HOUR // 2 for k in range(6)]
    assert result.equity.tolist() == [
        (T0 + 1 * HOUR - 1, 10000.0, 10000.0, 0.0),
        (T0 + 2 * HOUR - 1, 9997.5, 9987.5, 1101.6),     # commission 2.50; the bid a pip under the fill
        (T0 + 3 * HOUR - 1, 9997.5, 10087.5, 1101.6),
        (T0 + 4 * HOUR - 1, 10185.0, 10185.0, 0.0),      # +190 at the take profit, less 2.50
        (T0 + 5 * HOUR - 1, 10185.0, 10185.0, 0.0),
        (T0 + 6 * HOUR - 1, 10185.0, 10185.0, 0.0),
    ]
    deposit, opening, closing = result.deals
    assert (deposit.type, deposit.profit) == (qv.DealType.BALANCE, 10000.0)
    assert opening[3:] == (T0 + 2 * HOUR - 1, 0, 0, 0, opening.position_id, 3, 1.0, 1.1016, -2.5, 0.0, 0.0, 0.0,
                           "MYEUR", "", "")
    assert closing[3:] == (T0 + 3 * HOUR + HOUR // 2, 1, 1, 0, opening.position_id, 5, 1.0, 1.1035, -2.5, 0.0,
                           190.0, 0.0, "MYEUR", "[tp]", "")
    assert [o.state for o in result.orders] == [qv.OrderState.FILLED] * 2 and result.positions == ()
    # The trade: a lot bought at 1.1016 (the 01:59:59.999 step), closed at 03:30 at 1.1035, having seen
    # the bids of 02:00-03:30 (1.1020 to 1.1035): never below its entry, 19 pips at most above it.
    assert result.trades == [backtest.Trade("MYEUR", qv.PositionType.BUY, 1.0, T0 + 2 * HOUR - 1, 1.1016,
                                            T0 + 3 * HOUR + HOUR // 2, 1.1035, 190.0, -2.5, 0.0, 0.0, 187.5,
                                            0.0, pytest.approx(190.0), opening.position_id)]
    curve = [10000, 10000, 9987.5, 10087.5, 10185, 10185, 10185]
    returns = [b / a - 1 for a, b in zip(curve, curve[1:])]
    per_year = 6 / (6 / (365.25 * 24))  # six steps in six hours
    growth = (1.0185 ** (365.25 * 24 / 6) - 1) * 100
    sharpe = statistics.fmean(returns) / statistics.stdev(returns)
    downside = math.sqrt(sum(min(r, 0) ** 2 for r in returns) / 6)
    assert result.stats == {
        "start": dt.datetime(2026, 1, 5, tzinfo=dt.timezone.utc),
        "end": dt.datetime(2026, 1, 5, 6, tzinfo=dt.timezone.utc),
        "duration": dt.timedelta(hours=6), "exposure": 2 / 6, "final_equity": 10185.0, "peak_equity": 10185.0,
        "net_profit": 185.0, "return_pct": pytest.approx(1.85), "buy_and_hold_pct": pytest.approx(0.5),  # 1.1 to 1.1055
        "cagr_pct": pytest.approx(growth), "periods_per_year": pytest.approx(per_year),
        "annual_return_pct": pytest.approx(statistics.fmean(returns) * per_year * 100),
        "annual_volatility_pct": pytest.approx(statistics.stdev(returns) * math.sqrt(per_year) * 100),
        "sharpe": pytest.approx(sharpe), "sharpe_annual": pytest.approx(sharpe * math.sqrt(per_year)),
        "sortino_annual": pytest.approx(statistics.fmean(returns) / downside * math.sqrt(per_year)),
        "calmar": pytest.approx(growth / 0.125), "max_drawdown": 12.5, "max_drawdown_pct": pytest.approx(0.125),
        # One drawdown: from the 00:59:59.999 step at 10000 to the 02:59:59.999 one back above it.
        "max_drawdown_duration": dt.timedelta(hours=2), "avg_drawdown": 12.5, "avg_drawdown_pct": pytest.approx(0.125),
        "avg_drawdown_duration": dt.timedelta(hours=2), "recovery_factor": 185 / 12.5,
        "trades": 1, "win_rate": 1.0, "gross_profit": 187.5, "gross_loss": 0.0, "profit_factor": math.inf,
        "best_trade": 187.5, "worst_trade": 187.5, "avg_trade": 187.5, "avg_win": 187.5, "avg_loss": 0.0,
        "avg_trade_duration": dt.timedelta(hours=1, minutes=30, milliseconds=1),
        "max_trade_duration": dt.timedelta(hours=1, minutes=30, milliseconds=1),
        "expectancy": math.inf, "sqn": 0.0, "kelly": 1.0, "max_win_streak": 1, "max_loss_streak": 0,
        "long_trades": 1, "long_gross_profit": 187.5, "long_gross_loss": 0.0,
        "short_trades": 0, "short_gross_profit": 0.0, "short_gross_loss": 0.0,
    }
    assert list(result.stats) == list(backtest.STATS)
    assert core_disconnected() and not list(private_folders.glob("quorvane-backtest-*"))
    frames = pytest.importorskip("pandas") and result.to_pandas()
    assert list(frames.equity.columns) == ["time_msc", "balance", "equity", "margin"] and len(frames.deals) == 3
    if pytest.importorskip("matplotlib"):
        result.plot(str(private_folders / "equity.png"))
        assert (private_folders / "equity.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@host.posix_only("symbolic links and named pipes")
@pytest.mark.parametrize("spoil, says", [
    # A link is copied as a link, which the Terminal refuses by name (and
    # never read: /dev/zero would be copied until the disk is full).
    (lambda path: path.symlink_to("/dev/zero"), r"has no symbol 'MYEUR'.*MYEUR/ticks\.qvt: a symbolic link; "
                                                r"only regular files inside the symbol's folder are read"),
    (lambda path: os.mkfifo(path), r"MYEUR/ticks\.qvt: a named pipe, not a regular file; the Terminal reads only "
                                   r"regular files"),
], ids=["link", "pipe"])
def test_imported_data_is_copied_as_it_is(terminal_binary, private_folders, spoil, says):
    (private_folders / "ticks.csv").write_text(f"time_msc,bid,ask\n{T0},1.1,1.1001\n")
    data = private_folders / "data"
    ticks = backtest.import_ticks(data, "MYEUR", private_folders / "ticks.csv", like="EURUSD").folder / "ticks.qvt"
    ticks.unlink()
    spoil(ticks)
    with pytest.raises(backtest.BacktestError, match=says):
        backtest.run(lambda symbol, bars: None, "MYEUR", qv.Timeframe.H1, T0 / 1000, T0 / 1000 + 3600, data=data,
                     terminal=terminal_binary, folder=str(private_folders))
    assert core_disconnected() and not list(private_folders.glob("quorvane-backtest-*"))


def core_disconnected() -> bool:
    return qv.terminal_info() is None and qv.last_error()[0] == -10004


WEEK = dict(symbols="EURUSD", timeframe=qv.Timeframe.M5, start="2026-01-12", end="2026-01-14")


def test_two_runs_are_byte_identical_a_failing_one_leaves_none(terminal_binary, private_folders):
    options = dict(WEEK, terminal=terminal_binary, folder=str(private_folders))
    first, second = [backtest.run(ma_crossover(5, 20), **options) for _ in range(2)]
    assert first.stats["trades"] > 10 and len(first.equity) == 2 * 288
    assert first.deals == second.deals and first.orders == second.orders
    assert first.equity.tobytes() == second.equity.tobytes()
    # The same figures on every platform: Windows runs this test too.
    digest = hashlib.sha256(repr((first.deals, first.orders)).encode() + first.equity.tobytes()).hexdigest()
    assert digest == "51290d87302b628ae593804ff6642c6917cd9fcb749d78404f7bef4d3cd7d4ee"
    seen = []

    def on_bar(symbol, bars):
        seen.append(bars["time"][-1])
        if len(seen) == 3:
            raise ZeroDivisionError("the strategy's own fault")

    with pytest.raises(ZeroDivisionError, match="the strategy's own fault"):
        backtest.run(on_bar, **options)
    assert len(seen) == 3 and core_disconnected()
    assert not host.processes_of(private_folders, under=True)
    assert not list(private_folders.glob("quorvane-backtest-*"))


def test_the_readme_backtest_keeps_its_figures(terminal_binary, private_folders):
    # Its first four weeks, as the driver that stepped over a second
    # connection and asked for the bars and the account separately gave them.
    result = backtest.run(readme_strategy, "EURUSD", qv.Timeframe.H1, "2025-01-06", "2025-02-03",
                          terminal=terminal_binary, folder=str(private_folders))
    assert (len(result.equity), result.stats["trades"], result.stats["net_profit"]) == (472, 15, -390.25)
    digest = hashlib.sha256(repr((result.deals, result.orders)).encode() + result.equity.tobytes()).hexdigest()
    assert digest == "7ec9b9face2b25f4935a1893d1c7d80334a8209b2977ae74581f3b9366dd3047"


def test_a_step_that_fails_ends_the_run(private_folders):
    # The strategy closes the connection: the next step has none.
    with pytest.raises(backtest.ClockError) as failed:
        backtest.run(lambda symbol, bars: qv.shutdown(), "EURUSD", qv.Timeframe.H1, "2026-01-12", "2026-01-13",
                     folder=str(private_folders))
    assert (str(failed.value), failed.value.code) == (
        "the step from 2026-01-12T00:59:59.999Z failed: (-10004, 'No IPC connection, call initialize() first')", -10004)
    assert core_disconnected() and not list(private_folders.glob("quorvane-backtest-*"))


@pytest.mark.parametrize("in_process", [True, False], ids=["inside", "apart"])
def test_ctrl_c_stops_a_run_between_steps(terminal_binary, private_folders, in_process):
    # A built-in on_bar runs no Python code of its own: only the step loop
    # can see Ctrl+C, which comes once the first bar has. Where there are
    # timer signals it comes from one (delivered to the process whatever
    # its threads are doing), else from a thread.
    held = {}
    stop = threading.Event()

    def interrupt():
        deadline = time.monotonic() + 120
        while not held and time.monotonic() < deadline and not stop.is_set():
            time.sleep(0.001)
        _thread.interrupt_main()

    def alarm(signum, frame):
        if held:
            raise KeyboardInterrupt
        signal.setitimer(signal.ITIMER_REAL, 0.002)

    timed = hasattr(signal, "setitimer")
    sender = threading.Thread(target=interrupt)
    if timed:
        before = signal.signal(signal.SIGALRM, alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.002)
    else:
        sender.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            backtest.run(held.__setitem__, "EURUSD", qv.Timeframe.M1, "2025-01-01", "2026-01-01",
                         terminal=None if in_process else terminal_binary, folder=str(private_folders))
    finally:
        if timed:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, before)
        else:
            stop.set()
            sender.join()
    # Stopped long before the end of its 369 600 steps (within a few
    # thousand of them on a quiet machine).
    last = dt.datetime.fromtimestamp(int(held["EURUSD"]["time"][-1]), dt.timezone.utc)
    assert last < dt.datetime(2025, 7, 1, tzinfo=dt.timezone.utc), last
    assert core_disconnected() and not list(private_folders.glob("quorvane-backtest-*"))


# on_bar is handed what copy_rates_from_pos gives at that moment, read-only,
# and it never changes afterwards, also when the buffers behind it are
# replaced every few bars. Over a weekend EURUSD pauses while BTCUSD goes on.
@pytest.mark.parametrize("symbols, timeframe, start, end, lookback, calls", [
    (["EURUSD", "BTCUSD"], qv.Timeframe.H1, "2026-01-09T18:00", "2026-01-12T03:00", 5, {"EURUSD": 7, "BTCUSD": 57}),
    ("EURUSD", qv.Timeframe.M1, "2026-01-12T10:00", "2026-01-12T10:30", 1, {"EURUSD": 30}),
    ("BTCUSD", qv.Timeframe.D1, "2025-12-20", "2026-01-10", 40, {"BTCUSD": 21}),
], ids=["weekend", "lookback-1", "days"])
def test_on_bar_gets_what_copy_rates_gives_and_it_stays(terminal_binary, private_folders, monkeypatch, symbols,
                                                        timeframe, start, end, lookback, calls):
    from quorvane.backtest import _run

    monkeypatch.setattr(_run, "SPARE_ROWS", 2)
    handed, served = [], []
    # The run's figures take the bars its steps brought: the bytes the
    # Terminal serves at the end.
    figured = []
    read_market = _run.read_market

    def both_ways(names, minutes, start_ms, end_ms, closed=None):
        kept, asked = (read_market(names, minutes, start_ms, end_ms, given) for given in (closed, None))
        figured.append((sorted(closed or ()), *({n: (b.dtype, b.tobytes()) for n, b in m.bars.items()}
                                                  for m in (kept, asked))))
        return kept

    monkeypatch.setattr(_run, "read_market", both_ways)

    def on_bar(symbol, bars):
        handed.append((symbol, bars))
        served.append((symbol, qv.copy_rates_from_pos(symbol, timeframe, 0, lookback)))
        with pytest.raises(ValueError, match="read-only"):
            bars["close"][-1] = 0.0

    backtest.run(on_bar, symbols, timeframe, start, end, lookback=lookback, terminal=terminal_binary,
                 folder=str(private_folders))
    assert {name: [s for s, _ in handed].count(name) for name in calls} == calls
    assert [(s, b.dtype, b.tobytes()) for s, b in handed] == [(s, b.dtype, b.tobytes()) for s, b in served]
    [(kept_of, kept, asked)] = figured
    assert kept_of == sorted(calls) and kept == asked
    assert [len(kept[name][1]) // kept[name][0].itemsize for name in sorted(calls)] == [calls[n] for n in sorted(calls)]


def test_sweep_locally_and_on_dask(terminal_binary, private_folders, monkeypatch):
    distributed = pytest.importorskip("distributed")
    # The workers are new interpreters: they import the strategies from here.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")]))
    grid = {"fast": [3, 6], "slow": [12]}
    options = dict(symbols="EURUSD", timeframe=qv.Timeframe.M15, start="2026-01-12", end="2026-01-13",
                   terminal=terminal_binary, folder=str(private_folders))
    local = backtest.sweep(ma_crossover, grid, processes=2, **options)
    assert [(row["fast"], row["slow"]) for row in local] == [(3, 12), (6, 12)]
    assert local[0]["trades"] > 0 and local[0] != local[1]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        assert backtest.sweep(ma_crossover, grid, client=client, **options) == local
    assert not host.processes_of(private_folders, under=True)


def test_a_sweep_reports_the_strategy_s_own_error(terminal_binary, private_folders, monkeypatch):
    # The worker's TradeError comes back whole, its OrderSendResult along.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")]))
    with pytest.raises(trade.TradeError, match=r"^sell 0.001 EURUSD refused: retcode 14 INVALID_VOLUME "
                                               r"\(Invalid volume\)$") as raised:
        backtest.sweep(selling, {"volume": [0.001]}, "EURUSD", qv.Timeframe.H1, "2026-01-12", "2026-01-13",
                       processes=1, terminal=terminal_binary, folder=str(private_folders))
    result = raised.value.result
    assert type(result) is qv.OrderSendResult and (result.retcode, result.request.volume) == (14, 0.001)
    assert not host.processes_of(private_folders, under=True)


def python(code: str, **popen) -> subprocess.Popen:
    """Another Python process running `code`, which can import the test strategies."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")]))
    return host.popen([sys.executable, "-c", code], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.PIPE, env=env, **popen)


def wait_for(what, timeout: float = 120.0) -> None:
    deadline = time.monotonic() + timeout
    while not what():
        assert time.monotonic() < deadline, "not within the time allowed"
        time.sleep(0.05)


def left_in(folder: Path) -> list:
    return sorted(p.name for p in folder.glob("quorvane-backtest-*"))


@host.posix_only("ending signals")
@pytest.mark.parametrize("name, terminal_too", [
    ("SIGKILL", False),  # its Terminal ends with it; its folders are the next run's to remove
    ("SIGKILL", True),   # and the killed Terminal's pid file and endpoint
    ("SIGTERM", False),  # it cleans up before it dies by the signal
    ("SIGHUP", False),
], ids=["kill", "kill-terminal-too", "term", "hup"])
def test_a_killed_backtest_leaves_nothing_after_the_next_run(terminal_binary, private_folders, name, terminal_too):
    sig = getattr(signal, name)
    log = private_folders / "begun.txt"
    # The signal's default action, as at a console, also when whatever
    # started these tests ignores it (nohup, or a job under a timeout that
    # passes ignored signals on).
    default = "" if sig == signal.SIGKILL else f"import signal\nsignal.signal({int(sig)}, signal.SIG_DFL)\n"
    killed = python(f"{default}from quorvane import backtest\nfrom backtest_strategies import stalling\n"
                    f"backtest.run(stalling({str(log)!r}, 'killed', 120), 'EURUSD', 60, '2026-01-12', '2026-01-13', "
                    f"terminal={terminal_binary!r}, folder={str(private_folders)!r})")
    wait_for(lambda: log.exists() or killed.poll() is not None)
    assert log.read_text() == "killed\n", killed.communicate()[1]
    folder, lock = (private_folders / name for name in left_in(private_folders))
    assert lock.read_text() == f"pid {killed.pid}\nprogram {host.TERMINAL_NAME}\n"
    inst = _instance.Installation.of(str(folder / host.TERMINAL_NAME))
    terminal_pid = _instance.running_pid(inst)
    assert terminal_pid is not None and Path(inst.data_folder).is_dir()
    if terminal_too:
        os.kill(terminal_pid, signal.SIGKILL)  # the run, stalled, cannot notice before it is killed too
    os.kill(killed.pid, sig)
    assert killed.wait(60) == -sig
    wait_for(lambda: not host.processes_of(private_folders, under=True))
    files = [Path(inst.data_folder), Path(inst.pid_file), Path(inst.endpoint)]
    if sig == signal.SIGKILL:
        assert left_in(private_folders) == [folder.name, lock.name]
        assert [f.exists() for f in files] == [True, terminal_too, terminal_too]
    else:
        assert left_in(private_folders) == [] and not any(f.exists() for f in files)
    backtest.run(lambda symbol, bars: None, "EURUSD", qv.Timeframe.H1, "2026-01-12", "2026-01-12T03:00",
                 terminal=terminal_binary, folder=str(private_folders))
    assert left_in(private_folders) == [] and not any(f.exists() for f in files)


def test_the_next_run_removes_only_what_dead_runs_left(private_folders):
    # Made by hand: a live run's folder (its lock held here), a dead run's
    # (its lock free) with its Terminal's data folder, folders of older
    # releases (no lock), and a link named like a run's folder.
    from quorvane.backtest._folders import RunFolder, remove_leftovers

    parent = private_folders / "parent"
    parent.mkdir()
    live = RunFolder(str(parent), host.TERMINAL_NAME)
    try:
        dead = parent / "quorvane-backtest-0123456789ab"
        dead.mkdir()
        (dead / host.TERMINAL_NAME).write_bytes(b"a Terminal")
        (parent / "quorvane-backtest-0123456789ab.lock").write_text(f"pid 1\nprogram {host.TERMINAL_NAME}\n")
        data = Path(_instance.Installation.of(str(dead / host.TERMINAL_NAME)).data_folder)
        data.mkdir(parents=True)
        hour_ago = time.time() - 3600
        for name, program, age in [("old", host.TERMINAL_NAME, hour_ago), ("fresh", host.TERMINAL_NAME, None),
                                   ("noprogram", "notes.txt", hour_ago)]:
            (parent / f"quorvane-backtest-{name}").mkdir()
            (parent / f"quorvane-backtest-{name}" / program).write_bytes(b"x")
            if age is not None:
                os.utime(parent / f"quorvane-backtest-{name}", (age, age))
        kept = private_folders / "kept"
        kept.mkdir()
        (kept / host.TERMINAL_NAME).write_bytes(b"x")
        os.utime(kept, (hour_ago, hour_ago))
        if not host.WINDOWS:
            (parent / "quorvane-backtest-link").symlink_to(kept)
            (parent / "quorvane-backtest-linked.lock").symlink_to(kept / host.TERMINAL_NAME)
        remove_leftovers(str(parent))
        assert left_in(parent) == sorted([live.path.name, live.path.name + ".lock", "quorvane-backtest-fresh",
                                          "quorvane-backtest-noprogram"]
                                         + ([] if host.WINDOWS else ["quorvane-backtest-link",
                                                                     "quorvane-backtest-linked.lock"]))
        assert not data.exists() and (kept / host.TERMINAL_NAME).read_bytes() == b"x"
    finally:
        live.close()
    assert "quorvane-backtest-fresh" in left_in(parent) and live.path.name not in " ".join(left_in(parent))


@host.posix_only("Ctrl+C sent as a signal")
@pytest.mark.parametrize("console", [False, True], ids=["sweep-only", "console"])
def test_ctrl_c_stops_a_local_sweep_at_once(terminal_binary, private_folders, console):
    # One worker, two sets: the first stalls at its first bar until the
    # interruption; the second, already queued to the worker, never begins.
    # Ctrl+C reaches the sweep alone (as a notebook's interrupt does) or,
    # from a console, every process of its group, the worker too.
    log = private_folders / "begun.txt"
    sets = [{"log": str(log), "name": name} for name in ("first", "second")]
    # Ctrl+C raises KeyboardInterrupt in the sweep, as at a console, also
    # when whatever started these tests ignores SIGINT (a background job).
    sweeping = python(f"import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
                      f"from quorvane import backtest\nfrom backtest_strategies import stalling\n"
                      f"backtest.sweep(stalling, {sets!r}, 'EURUSD', 60, '2026-01-12', '2026-01-13', processes=1, "
                      f"terminal={terminal_binary!r}, folder={str(private_folders)!r})", start_new_session=console)
    wait_for(lambda: log.exists() or sweeping.poll() is not None)
    if console:
        os.killpg(sweeping.pid, signal.SIGINT)
    else:
        sweeping.send_signal(signal.SIGINT)
    _, said = sweeping.communicate(timeout=120)
    assert sweeping.returncode == -signal.SIGINT and said.decode().rstrip().endswith("KeyboardInterrupt"), said.decode()
    assert log.read_text() == "first\n"
    assert not host.processes_of(private_folders, under=True) and left_in(private_folders) == []


REFUSED = qv.OrderSendResult((14, 0, 0, 0.0, 0.0, 0.0, 0.0, "Invalid volume", 7, 0, qv.TradeRequest(
    (1, 0, 0, "EURUSD", 0.001, 0.0, 0.0, 0.0, 0.0, 0, 1, 0, 0, 0, "", 0, 0))))


@pytest.mark.parametrize("error", [
    trade.TradeError("sell 0.001 EURUSD", REFUSED),
    trade.TradeError("close of position 5", None, (-10004, "No IPC connection")),
    backtest.BacktestError("the backtest's Terminal exited with code 3"),
    backtest.ClockError("the Terminal refused the step", 5),
    backtest.TickDataError("ticks.csv, line 3: no bid"),
    live.WatchError("EURUSD", "copy_ticks_from", -4, "Terminal: Not found"),
    SessionError(-10003, "IPC initialize failed"),
], ids=lambda e: type(e).__name__)
def test_errors_pickle_whole(error):
    # As a sweep's worker hands them back: the same type, text and fields.
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), str(again), vars(again)) == (type(error), str(error), vars(error))


def test_backtests_sharing_a_process_take_turns(terminal_binary, private_folders):
    """A Dask worker's threads run sweep tasks side by side in one process,
    which has one connection: the second backtest starts only once the
    first has ended. The first waits at its first bar until the second
    task has begun."""
    from quorvane.backtest._sweep import one

    log, results, errors = [], {}, []
    running, begun = threading.Event(), threading.Event()

    def factory(name):
        log.append((name, "made"))
        crossover = ma_crossover(3, 12)

        def on_bar(symbol, bars):
            if name == "first" and not running.is_set():
                running.set()
                begun.wait(60)
            crossover(symbol, bars)

        return on_bar

    def task(name):
        if name == "second":
            begun.set()
        try:
            results[name] = one(factory, {"name": name}, ("EURUSD", qv.Timeframe.M15, "2026-01-12", "2026-01-13"),
                                {"terminal": terminal_binary, "folder": str(private_folders)})
            log.append((name, "done"))
        except BaseException as e:  # noqa: BLE001  reported below
            errors.append(e)

    threads = [threading.Thread(target=task, args=(name,)) for name in ("first", "second")]
    threads[0].start()
    assert running.wait(60)
    threads[1].start()
    for thread in threads:
        thread.join(300)
        assert not thread.is_alive()
    assert errors == []
    assert log == [("first", "made"), ("first", "done"), ("second", "made"), ("second", "done")]
    assert results["first"] == results["second"] and results["first"]["trades"] > 0


@pytest.mark.parametrize("timeframe, at, opened, after", [
    (qv.Timeframe.M15, "2026-01-05T10:44:59", "2026-01-05T10:30:00", "2026-01-05T10:45:00"),
    (qv.Timeframe.D1, "2026-01-07T23:00:00", "2026-01-07T00:00:00", "2026-01-08T00:00:00"),
    (qv.Timeframe.W1, "2026-01-11T23:59:59", "2026-01-05T00:00:00", "2026-01-12T00:00:00"),  # Monday to Monday
    (qv.Timeframe.MN1, "2025-12-31T12:00:00", "2025-12-01T00:00:00", "2026-01-01T00:00:00"),
])
def test_bar_grid(timeframe, at, opened, after):
    from quorvane.backtest._run import Bars, to_ms

    bars = Bars(timeframe)
    seconds = [to_ms(text, "t") // 1000 for text in (at, opened, after)]
    assert (bars.open(seconds[0]), bars.after(bars.open(seconds[0]))) == (seconds[1], seconds[2])


@pytest.mark.parametrize("start, end, says", [
    ("1999-12-31", "2000-01-05", "start='1999-12-31'"),
    (946_684_799, 946_771_200, "start=946684799"),
    ("2100-01-01", "2100-01-02", "start='2100-01-01'"),
    ("2026-01-05", "2026-01-05", None),
])
def test_a_start_outside_the_market_is_refused_before_any_terminal_starts(terminal_binary, private_folders,
                                                                          start, end, says):
    with pytest.raises(ValueError) as refused:
        backtest.run(lambda symbol, bars: None, "EURUSD", qv.Timeframe.H1, start, end, terminal=terminal_binary,
                     folder=str(private_folders))
    assert str(refused.value) == (
        f"{says} lies outside the market's years: a backtest starts from 2000-01-01 to 2099-12-31 (UTC)" if says
        else "the backtest must end after it starts (start='2026-01-05', end='2026-01-05')")
    assert not list(private_folders.glob("quorvane-backtest-*")) and not host.processes_of(private_folders, under=True)


def test_close_by_legs_are_trades(frozen, core):
    # A buy and a sell of 0.1 EURUSD (ask 1.04767, bid 1.0476) closed by each
    # other: two OUT_BY deals, the buy's leg at the sell's price carrying the
    # pair's result, -0.70, each leg -0.25 of commission, as each opening.
    from quorvane.backtest._result import statistics

    buy, sell = trade.buy("EURUSD", 0.1, check=True), trade.sell("EURUSD", 0.1, check=True)
    done = core.order_send(action=qv.TradeAction.CLOSE_BY, position=buy.order, position_by=sell.order)
    assert done.retcode == qv.TradeRetcode.DONE, done
    deals = core.history_deals_get(0, 2**31 - 1)
    assert [(d.entry, d.profit, d.commission) for d in deals[-4:]] == [
        (qv.DealEntry.IN, 0.0, -0.25), (qv.DealEntry.IN, 0.0, -0.25),
        (qv.DealEntry.OUT_BY, -0.7, -0.25), (qv.DealEntry.OUT_BY, 0.0, -0.25)]
    stats = statistics(deals, np.zeros(0, backtest.EQUITY_DTYPE), 10000.0)
    assert {k: stats[k] for k in ("net_profit", "gross_profit", "gross_loss", "trades", "win_rate",
                                  "profit_factor")} == {
        "net_profit": -1.7, "gross_profit": 0.0, "gross_loss": -1.2, "trades": 2, "win_rate": 0.0,
        "profit_factor": 0.0}
