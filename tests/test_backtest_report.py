"""A backtest's trades and statistics worked by hand on a small run, netting
and hedging accounts giving the same trades, and the HTML report and the
notebook view, the report opened in a headless browser."""

from __future__ import annotations

import base64
import datetime as dt
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
from collections import namedtuple

import numpy as np
import pytest
from backtest_strategies import reversing

import quorvane as qv
from quorvane import backtest
from quorvane.backtest._report import monthly_returns, thinned

T0 = 1_767_571_200_000  # 2026-01-05 00:00 UTC, a Monday
HOUR = 3_600_000
UTC = dt.timezone.utc

Deal = namedtuple("Deal", "time_msc type entry position_id volume price commission swap profit fee symbol")
BUY, SELL, IN, OUT = qv.DealType.BUY, qv.DealType.SELL, qv.DealEntry.IN, qv.DealEntry.OUT
RATES = np.dtype([("time", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
                  ("tick_volume", "<u8"), ("spread", "<i4"), ("real_volume", "<u8")])


def deal(hours, kind, entry, position, volume, price, commission, profit=0.0, swap=0.0):
    return Deal(T0 + hours * HOUR - 1, kind, entry, position, volume, price, commission, swap, profit, 0.0, "EURUSD")


def small_run() -> backtest.Result:
    """Five trades on a 1000 USD account over six H1 steps, deals taken at the
    steps (a bar's last millisecond)."""
    deals = [
        Deal(T0, qv.DealType.BALANCE, IN, 0, 0.0, 0.0, 0.0, 0.0, 1000.0, 0.0, ""),
        deal(1, BUY, IN, 10, 1.0, 1.1000, -2.0), deal(2, SELL, OUT, 10, 1.0, 1.1010, -2.0, 100.0),        # +98
        deal(2, SELL, IN, 20, 1.0, 1.1005, -2.0), deal(3, BUY, OUT, 20, 1.0, 1.1025, -2.0, -200.0, -1.0),  # -203
        deal(3, BUY, IN, 30, 1.0, 1.1020, -2.0), deal(4, BUY, IN, 40, 0.5, 1.1040, -1.0),
        deal(5, SELL, OUT, 30, 1.0, 1.1050, -2.0, 300.0), deal(5, SELL, OUT, 40, 0.5, 1.1050, -1.0, 50.0),  # +298, +49
        deal(5, SELL, IN, 50, 1.0, 1.1050, -2.0), deal(6, BUY, OUT, 50, 1.0, 1.1050, -2.0, 0.0),          # -2
    ]
    equity = np.zeros(6, backtest.EQUITY_DTYPE)
    equity["time_msc"] = [T0 + k * HOUR - 1 for k in range(1, 7)]
    equity["equity"] = [1010, 990, 1020, 1005, 1015, 1040]
    equity["balance"] = [998, 1094, 889, 1185, 1232, 1231]
    equity["margin"] = [110, 110, 110, 165, 110, 0]
    # Bars of the six hours: open, high, low, close; the spread 20 points.
    prices = [(1.1000, 1.1005, 1.0995, 1.1000), (1.1000, 1.1030, 1.0990, 1.1010), (1.1010, 1.1030, 1.1000, 1.1025),
              (1.1025, 1.1040, 1.1015, 1.1040), (1.1040, 1.1060, 1.1030, 1.1050), (1.1050, 1.1070, 1.1045, 1.1050)]
    bars = np.array([(T0 // 1000 + 3600 * k, *p, 10, 20, 0) for k, p in enumerate(prices)], dtype=RATES)
    market = backtest.Market(qv.Timeframe.H1, {"EURUSD": bars}, {"EURUSD": 0.00001}, {"EURUSD": 100_000.0})
    return backtest.Result(deals=deals, orders=(), positions=(), pending=(), equity=equity, deposit=1000.0,
                           currency="USD", symbols=["EURUSD"], timeframe=qv.Timeframe.H1, start_ms=T0,
                           end_ms=T0 + 6 * HOUR, market=market,
                           settings={"symbols": ["EURUSD"], "timeframe": "H1", "hedging": True})


def test_statistics_of_a_hand_worked_run():
    result = small_run()
    # Excursions from the bars the position saw after its opening step up to its exit: the long of
    # 1.1000 saw 1.0990-1.1030 (-10 / +30 pips a lot); the short of 1.1005 an ask of 1.1002-1.1032;
    # the last short closed at its entry, its money per pip being the symbol's tick value.
    assert [(t.side, t.volume, t.result, t.mae, t.mfe, t.duration) for t in result.trades] == [
        (qv.PositionType.BUY, 1.0, 98.0, pytest.approx(-100), pytest.approx(300), dt.timedelta(hours=1)),
        (qv.PositionType.SELL, 1.0, -203.0, pytest.approx(-270), pytest.approx(30), dt.timedelta(hours=1)),
        (qv.PositionType.BUY, 1.0, 298.0, pytest.approx(-50), pytest.approx(400), dt.timedelta(hours=2)),
        (qv.PositionType.BUY, 0.5, 49.0, pytest.approx(-50), pytest.approx(100), dt.timedelta(hours=1)),
        (qv.PositionType.SELL, 1.0, -2.0, pytest.approx(-220), pytest.approx(30), dt.timedelta(hours=1)),
    ]
    results = [98, -203, 298, 49, -2]
    curve = [1000, 1010, 990, 1020, 1005, 1015, 1040]
    returns = [b / a - 1 for a, b in zip(curve, curve[1:])]
    per_year = 365.25 * 24  # a step an hour
    growth = (1.04 ** (365.25 * 24 / 6) - 1) * 100
    sharpe = statistics.fmean(returns) / statistics.stdev(returns)
    downside = math.sqrt(sum(min(r, 0) ** 2 for r in returns) / 6)
    assert result.stats == {
        "start": dt.datetime(2026, 1, 5, tzinfo=UTC), "end": dt.datetime(2026, 1, 5, 6, tzinfo=UTC),
        "duration": dt.timedelta(hours=6), "exposure": 5 / 6, "final_equity": 1040.0, "peak_equity": 1040.0,
        "net_profit": 231.0,  # the results less the five opening commissions, 9.0
        "return_pct": pytest.approx(4.0), "buy_and_hold_pct": pytest.approx((1.1050 / 1.1000 - 1) * 100),
        "cagr_pct": pytest.approx(growth), "periods_per_year": pytest.approx(per_year),
        "annual_return_pct": pytest.approx(statistics.fmean(returns) * per_year * 100),
        "annual_volatility_pct": pytest.approx(statistics.stdev(returns) * math.sqrt(per_year) * 100),
        "sharpe": pytest.approx(sharpe), "sharpe_annual": pytest.approx(sharpe * math.sqrt(per_year)),
        "sortino_annual": pytest.approx(statistics.fmean(returns) / downside * math.sqrt(per_year)),
        "calmar": pytest.approx(growth / (20 / 1010 * 100)),
        # Two drawdowns: 1010 -> 990 (back at 1020 two steps on) and 1020 -> 1005 (back at 1040 three on).
        "max_drawdown": 20.0, "max_drawdown_pct": pytest.approx(20 / 1010 * 100),
        "max_drawdown_duration": dt.timedelta(hours=3), "avg_drawdown": 17.5,
        "avg_drawdown_pct": pytest.approx((20 / 1010 + 15 / 1020) * 50),
        "avg_drawdown_duration": dt.timedelta(hours=2, minutes=30), "recovery_factor": 231 / 20,
        "trades": 5, "win_rate": 0.6, "gross_profit": 445.0, "gross_loss": -205.0, "profit_factor": 445 / 205,
        "best_trade": 298.0, "worst_trade": -203.0, "avg_trade": 48.0, "avg_win": pytest.approx(445 / 3),
        "avg_loss": -102.5, "avg_trade_duration": dt.timedelta(hours=1, minutes=12),
        "max_trade_duration": dt.timedelta(hours=2), "expectancy": 48 / 102.5,
        "sqn": pytest.approx(math.sqrt(5) * 48 / statistics.stdev(results)),
        "kelly": pytest.approx(0.6 - 0.4 / (445 / 3 / 102.5)), "max_win_streak": 2, "max_loss_streak": 1,
        "long_trades": 3, "long_gross_profit": 445.0, "long_gross_loss": 0.0,
        "short_trades": 2, "short_gross_profit": 0.0, "short_gross_loss": -205.0,
    }
    # Every figure is defined where help() shows it.
    assert all(f"``{name}``:" in backtest.Result.__doc__ for name in backtest.STATS)


def test_netting_and_hedging_accounts_give_the_same_trades(terminal_binary, private_folders):
    # On netting, each turn is one INOUT deal of 0.2 lot charging the commission of 0.2 lot; half of it is
    # the closing trade's, as the hedging account's closing deal of 0.1 lot charges.
    runs = [backtest.run(reversing(5, 20), "EURUSD", qv.Timeframe.M5, "2026-01-12", "2026-01-14", hedging=hedging,
                         terminal=terminal_binary, folder=str(private_folders)) for hedging in (True, False)]
    hedging, netting = runs
    assert {d.entry for d in netting.deals} == {IN, qv.DealEntry.INOUT} and qv.DealEntry.INOUT not in {
        d.entry for d in hedging.deals}
    assert [t._replace(position_id=0) for t in netting.trades] == [t._replace(position_id=0) for t in hedging.trades]
    assert netting.stats == hedging.stats
    assert [hedging.stats[k] for k in ("trades", "gross_profit", "gross_loss")] == [31, 206.22, -171.75]
    assert hedging.trades[0] == backtest.Trade("EURUSD", qv.PositionType.BUY, 0.1, 1768176299999, 1.0616,
                                               1768183199999, 1.06111, -4.9, -0.25, 0.0, 0.0, -5.15,
                                               pytest.approx(-11.7), pytest.approx(4.4), hedging.deals[1].position_id)


@pytest.mark.parametrize("steps, expected", [
    # A step stands at its bar's last millisecond: the D1 bar of 31 January closes the month.
    ([("2025-12-31", 1100), ("2026-01-31", 1210), ("2026-02-02", 1089)],
     {2025: {12: 10.0, 13: 10.0}, 2026: {1: 10.0, 2: -10.0, 13: -1.0}}),
    ([], {}),
])
def test_monthly_returns(steps, expected):
    times = [T0] + [int(dt.datetime.fromisoformat(day + "T23:59:59.999+00:00").timestamp() * 1000) for day, _ in steps]
    table = monthly_returns(np.array(times), np.array([1000.0] + [v for _, v in steps]))
    assert table == {year: {m: pytest.approx(v) for m, v in months.items()} for year, months in expected.items()}


def test_a_long_curve_is_thinned_to_its_extremes():
    values = np.sin(np.arange(100_000) / 500.0)
    values[77_777] = -5.0
    keep = thinned(values, 3000)
    assert len(keep) <= 3000 + 2 and keep[0] == 0 and keep[-1] == 99_999 and 77_777 in keep
    assert (values[keep].min(), values[keep].max()) == (-5.0, values.max())


def test_the_notebook_view():
    html = small_run()._repr_html_()
    assert "<caption" in html and "Backtest of EURUSD" in html
    for name, shown in (("net_profit", "231.00 USD"), ("max_drawdown_pct", "1.98 %"), ("win_rate", "60.0 %"),
                        ("trades", "5"), ("profit_factor", "2.171")):
        assert re.search(rf"<code>{name}</code></td><td[^>]*>{re.escape(shown)}</td>", html), name
    if pytest.importorskip("matplotlib"):
        png = re.search(r'src="data:image/png;base64,([^"]+)"', html).group(1)
        assert base64.b64decode(png)[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_report_names_its_missing_library(private_folders, monkeypatch):
    monkeypatch.setitem(sys.modules, "plotly", None)
    monkeypatch.setitem(sys.modules, "plotly.graph_objects", None)
    with pytest.raises(ImportError, match=r'^plotly is not installed; install it with: pip install plotly '
                                          r'\(or pip install "quorvane\[report\]"\)$'):
        small_run().report(private_folders / "report.html")
    assert not (private_folders / "report.html").exists()


def chromium() -> str:
    """The headless browser: CI installs it, elsewhere the test is skipped without it."""
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        if os.environ.get("CI"):
            pytest.fail("Chromium is missing: the report must be opened in a browser in CI")
        pytest.skip("no Chromium (Debian: apt-get install chromium)")
    return found


def test_the_report_is_self_contained_and_renders(terminal_binary, private_folders):
    pytest.importorskip("plotly")
    result = backtest.run(reversing(5, 20), "EURUSD", qv.Timeframe.M5, "2026-01-12", "2026-01-14",
                          terminal=terminal_binary, folder=str(private_folders))
    path = private_folders / "report.html"
    result.report(path, title="MA reversal <5/20>")
    text = path.read_text(encoding="utf-8")
    # Nothing is fetched: no external script, style sheet, image or font.
    assert not re.search(r"""<(script|link|img|iframe)[^>]*(src|href)\s*=\s*["']?(https?:)?//""", text, re.I)
    assert not re.search(r"@import|url\(\s*['\"]?(https?:)?//", text)
    assert "<title>MA reversal &lt;5/20&gt;</title>" in text and "<h2>Trades (31)</h2>" in text
    assert all(f"<code>{name}</code>" in text for name in backtest.STATS)
    browser = chromium()
    # Every address the page could reach is made unreachable.
    command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
               "--proxy-server=127.0.0.1:9", "--host-resolver-rules=MAP * ~NOTFOUND", "--enable-logging=stderr",
               "--v=0", "--virtual-time-budget=15000", "--window-size=1280,1800",
               f"--user-data-dir={private_folders / 'browser'}"]
    shown = subprocess.run(command + ["--dump-dom", path.as_uri()], capture_output=True, text=True, timeout=300)
    assert shown.returncode == 0, shown.stderr[-3000:]
    console = [line for line in shown.stderr.splitlines() if ":CONSOLE" in line or "net::ERR" in line]
    assert console == []
    dom = shown.stdout
    assert re.search(r'<div id="report-error"[^>]*></div>', dom)  # no script failed
    chart = dom[dom.index('id="equity-chart"'):dom.index('id="results-chart"')]
    # The equity trace, drawn: a line through every one of the 577 points (the deposit and 576 steps).
    line = re.search(r'<g class="trace scatter[^>]*>.*?<path class="js-line" d="(M[^"]+)"', chart, re.S)
    assert line is not None and line.group(1).count("L") == 576
    picture = private_folders / "report.png"
    subprocess.run(command + [f"--screenshot={picture}", path.as_uri()], capture_output=True, timeout=300,
                   check=True)
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
