"""The Terminal inside the module's process (_core._in_process, the
backtest's default): the same answers and the same backtests, byte for
byte, as the bundled Terminal run apart; a refused start says why; shutdown
ends it and frees its store."""

from __future__ import annotations

import hashlib
import os
import subprocess
from typing import Any, Callable, Dict, List

import host
import pytest
from backtest_strategies import ma_crossover, readme_strategy

import quorvane as qv
from quorvane import backtest, trade
from quorvane.backtest import _run
from quorvane.backtest._inprocess import InProcessTerminal
from quorvane.backtest._terminal import LOGIN, PrivateTerminal, settings

CLOCK = ["--clock", "2026-01-13T10:30:00.250Z", "--step", "--store-sync=0"]


@pytest.mark.parametrize("strategy, timeframe, start, end", [
    (ma_crossover(5, 20), qv.Timeframe.M5, "2026-01-12", "2026-01-14"),
    (readme_strategy, qv.Timeframe.H1, "2025-01-06", "2025-02-03"),  # stops walked between steps
], ids=["crossover-M5", "readme-H1"])
def test_in_process_and_apart_give_the_same_bytes(terminal_binary, private_folders, monkeypatch, strategy, timeframe,
                                                  start, end):
    runs = [backtest.run(strategy, "EURUSD", timeframe, start, end, folder=str(private_folders), **where)
            for where in ({}, {"terminal": terminal_binary}, {"in_process": False})]
    # And the same as with the trading store in a file rather than in memory.
    monkeypatch.setattr(_run, "_STORE", ("--store-sync=0",))
    runs.append(backtest.run(strategy, "EURUSD", timeframe, start, end, folder=str(private_folders)))
    digests = [hashlib.sha256(repr((r.deals, r.orders)).encode() + r.equity.tobytes()).hexdigest() for r in runs]
    assert runs[0].stats["trades"] > 5 and len(set(digests)) == 1
    assert qv.terminal_info() is None and qv.last_error()[0] == -10004
    assert not list(private_folders.glob("quorvane-backtest-*"))
    with pytest.raises(ValueError, match=r"^terminal= names a program to run apart: give it with in_process=False$"):
        backtest.run(strategy, "EURUSD", timeframe, start, end, terminal=terminal_binary, in_process=True)


def calls() -> Dict[str, Any]:
    """Representative calls of the module's functions, made on the Terminal
    the module is connected to at 2026-01-13 10:30:00.250."""
    core = qv._core
    out: Dict[str, Any] = {}
    info = core.terminal_info()
    # Each is where its Terminal's folder is.
    out["terminal_info"] = info and {**info._asdict(), "path": "", "data_path": ""}
    for name, call in [
        ("version", core.version),
        ("account_info", core.account_info),
        ("symbols_total", core.symbols_total),
        ("symbol_info", lambda: core.symbol_info("GBPJPY")),
        ("symbol_info_tick", lambda: core.symbol_info_tick("EURUSD")),
        ("symbol_select", lambda: core.symbol_select("EURUSD", True)),
        ("symbols_get", lambda: core.symbols_get("*JPY*")),
        ("rates_from_pos", lambda: core.copy_rates_from_pos("EURUSD", qv.Timeframe.M1, 0, 500)),
        ("rates_range", lambda: core.copy_rates_range("BTCUSD", qv.Timeframe.H4, 1767225600, 1768300000)),
        # Friday to Tuesday's ticks: a reply of several chunks, made on the
        # Terminal's helper thread while its first ones are read.
        ("ticks_range", lambda: core.copy_ticks_range("EURUSD", 1767916800, 1768300000, qv.CopyTicks.ALL)),
        ("ticks_from", lambda: core.copy_ticks_from("GBPJPY", 1768300000, 1000, qv.CopyTicks.INFO)),
        ("calc_margin", lambda: core.order_calc_margin(qv.OrderType.BUY, "EURUSD", 1.0, 1.1)),
        ("calc_profit", lambda: core.order_calc_profit(qv.OrderType.SELL, "GBPJPY", 0.5, 190.0, 189.0)),
        ("buy", lambda: trade.buy("EURUSD", 0.3, sl=1.0, check=True)),
        ("pending", lambda: core.order_send(action=qv.TradeAction.PENDING, symbol="EURUSD", volume=0.1,
                                            type=qv.OrderType.BUY_LIMIT, price=1.0)),
        ("check", lambda: core.order_check(action=qv.TradeAction.DEAL, symbol="EURUSD", volume=100.0,
                                           type=qv.OrderType.BUY)),
        ("positions", core.positions_get),
        ("orders_total", core.orders_total),
        ("orders", lambda: core.orders_get(symbol="EURUSD")),
        ("history_deals", lambda: core.history_deals_get(0, 2**31 - 1)),
        ("history_orders_total", lambda: core.history_orders_total(0, 2**31 - 1)),
        ("book_add", lambda: core.market_book_add("EURUSD")),
        ("book", lambda: core.market_book_get("EURUSD")),
        ("book_release", lambda: core.market_book_release("EURUSD")),
        ("unknown", lambda: (core.symbol_info("NOSUCH"), core.last_error())),
        ("account_after", core.account_info),
    ]:
        out[name] = call()
    return out


def comparable(results: Dict[str, Any]) -> Dict[str, Any]:
    # Arrays as their bytes, so == compares them whole.
    return {k: (v.dtype.descr, v.tobytes()) if hasattr(v, "tobytes") else v for k, v in results.items()}


def test_the_functions_answer_as_apart(terminal_binary, private_folders):
    ini = settings(10_000, "USD", 100, True)
    seen: List[Dict[str, Any]] = []
    for make in (lambda: PrivateTerminal(terminal_binary, ini, None, str(private_folders)),
                 lambda: InProcessTerminal(ini, None, str(private_folders))):
        with make() as terminal:
            terminal.start(CLOCK)
            seen.append(comparable(calls()))
    apart, inside = seen
    assert inside == apart
    assert apart["account_info"].login == LOGIN and len(apart["ticks_range"][1]) > 4 << 20
    assert apart["buy"].retcode == qv.TradeRetcode.DONE and len(apart["positions"]) == 1
    assert apart["unknown"] == (None, (-4, "Terminal: Not found"))


@pytest.mark.parametrize("spoil, args, error", [
    (None, ["--sped", "60"], (-10003, "IPC initialize failed, Terminal not started (code 2): terminal64: command "
                                      "line: unknown option --sped")),
    (lambda root: (root / "config" / "terminal.ini").write_text("[Terminal]\nbuild=x\n"), [],
     (-10003, "IPC initialize failed, Terminal not started (code 2): terminal64: terminal.ini: malformed value "
              "'x' for build (expected a whole number from 1 to 4294967295)")),
    pytest.param(lambda root: os.chmod(root, 0o777), [],
                 (-10003, "IPC initialize failed, Terminal not started (code 1): terminal64: the trading store's "
                          "folder '{root}' is writable by other users"),
                 marks=pytest.mark.skipif(host.WINDOWS, reason="POSIX modes")),
    (None, "--step", (-2, "Invalid 2nd unnamed argument")),
], ids=["option", "setting", "store", "arguments"])
def test_a_refused_start_says_why(private_folders, core, spoil, args, error):
    root = private_folders / "inside"
    (root / "config").mkdir(parents=True, mode=0o700)
    root.chmod(0o700)
    if spoil is not None:
        spoil(root)
    assert core._in_process(str(root), args) is False
    assert core.last_error() == (error[0], error[1].format(root=root))
    assert core.terminal_info() is None and core.last_error()[0] == -10004


def test_shutdown_or_initialize_ends_it_and_frees_its_store(private_folders, terminal_binary, core):
    root = private_folders / "inside"
    (root / "config").mkdir(parents=True)
    root.chmod(0o700)
    # The clock in terminal.ini too, so terminal64 started on the folder
    # trades in the same store.
    (root / "config" / "terminal.ini").write_text("[Terminal]\nclock=2026-01-13T10:30:00.250Z\nstep=1\n" +
                                                   settings(5000, "EUR", 30, False))
    credentials = dict(login=LOGIN, password="backtest", server="Quorvane-Backtest")
    login: Callable[[], bool] = lambda: core.login(**credentials)
    assert core._in_process(str(root), CLOCK) and login()
    ticket = trade.buy("EURUSD", 0.2, check=True).order
    # The store is this Terminal's own while it lives.
    exe = root / host.TERMINAL_NAME
    host.copy_file(terminal_binary, exe)
    refused = subprocess.run([str(exe), "/portable", "--no-endpoint"], capture_output=True, timeout=60)
    assert refused.returncode == 1
    assert "is in use by another Terminal" in refused.stderr.decode()
    if not host.WINDOWS:  # there the lock file cannot be read while it is held
        assert f"(process {os.getpid()})" in refused.stderr.decode()
    # Once it has ended, the next start in this process finds the position
    # it left; so does a start that replaces a running one, and terminal64,
    # whose initialize ends the last.
    assert core.shutdown() and core.terminal_info() is None and core.last_error()[0] == -10004
    assert core._in_process(str(root), CLOCK) and login()
    assert [p.ticket for p in core.positions_get()] == [ticket] and core.account_info().currency == "EUR"
    assert core._in_process(str(root), CLOCK) and login() and core.positions_total() == 1
    assert core.initialize(str(exe), portable=True, **credentials)
    assert [p.ticket for p in core.positions_get()] == [ticket] and core.terminal_info().path == str(root)
