"""quorvane.backtest.run and sweep against the bundled Terminal's stepped
clock: a hand-checked run on imported ticks, determinism, a failing
strategy, and a sweep locally and on Dask."""

from __future__ import annotations

import hashlib
import math
import os
from pathlib import Path

import host
import numpy as np
import pytest
from backtest_strategies import ma_crossover

import quorvane as qv
from quorvane import backtest, trade

T0 = 1_767_571_200_000  # 2026-01-05 00:00 UTC, a Monday
HOUR = 3_600_000


def test_hand_checked_run_on_imported_ticks(terminal_binary, private_folders):
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
                          terminal=terminal_binary, folder=str(private_folders))
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
    curve = np.array([10000, 10000, 9987.5, 10087.5, 10185, 10185, 10185])
    returns = curve[1:] / curve[:-1] - 1
    assert result.stats == {
        "net_profit": 185.0, "gross_profit": 187.5, "gross_loss": 0.0, "max_drawdown": 12.5,
        "max_drawdown_pct": pytest.approx(0.125), "sharpe": pytest.approx(returns.mean() / returns.std(ddof=1)),
        "trades": 1, "win_rate": 1.0, "profit_factor": math.inf, "exposure": 2 / 6,
    }
    assert core_disconnected() and not list(private_folders.glob("quorvane-backtest-*"))
    frames = pytest.importorskip("pandas") and result.to_pandas()
    assert list(frames.equity.columns) == ["time_msc", "balance", "equity", "margin"] and len(frames.deals) == 3
    if pytest.importorskip("matplotlib"):
        result.plot(str(private_folders / "equity.png"))
        assert (private_folders / "equity.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


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
