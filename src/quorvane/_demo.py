"""The guided tour: ``python -m quorvane demo``.

Runs a private copy of the bundled Terminal in a temporary folder (portable,
so its endpoint, settings and trades are its own and the user's Terminals
are never touched), walks through the account, symbols, Market Watch, Depth
of Market, a paper trade, bars and ticks, writes a chart, then stops that
Terminal and removes its folder, also on Ctrl+C or failure.
"""

from __future__ import annotations

import datetime as dt
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
from types import FrameType
from typing import Any, List, Optional, Sequence, Tuple, TypeVar

import quorvane as qv

from . import _instance
from ._chart import save_bar_chart

DEMO_LOGIN = 5001001
DEMO_PASSWORD = "demo1001"
DEMO_SERVER = "Quorvane-Demo"
SHOWN_SYMBOLS = ("EURUSD", "USDJPY", "XAUUSD", "US500", "BTCUSD")
ALWAYS_OPEN = "BTCUSD"  # crypto trades around the clock, weekends included


class DemoError(Exception):
    pass


def _utc(seconds: int) -> str:
    return dt.datetime.fromtimestamp(seconds, dt.timezone.utc).strftime("%Y-%m-%d %H:%M")


def _failed(what: str) -> DemoError:
    return DemoError(f"{what} failed: {qv.last_error()}")


_T = TypeVar("_T")


def _need(value: Optional[_T], what: str) -> _T:
    """`value`, or the call's failure as a DemoError when it returned None."""
    if value is None:
        raise _failed(what)
    return value


class Timer:
    """Prints what is about to take a while, then how long it took."""

    def __init__(self, what: str) -> None:
        self.what = what
        self.started = 0.0

    def __enter__(self) -> "Timer":
        print(f"{self.what} ...", end="", flush=True)
        self.started = time.perf_counter()
        return self

    def done(self, result: str) -> None:
        print(f" {result} in {time.perf_counter() - self.started:.2f} s", flush=True)

    def __exit__(self, *exc: object) -> None:
        if exc[0] is not None:
            print(" failed", flush=True)


def show(title: str, record: Any, keys: Optional[Sequence[str]] = None) -> None:
    print(f"\n{title}")
    for key, value in record._asdict().items():
        if keys is None or key in keys:
            print(f"  {key:<16} {value}")


def show_symbols(names: Sequence[str]) -> None:
    currency = _need(qv.account_info(), "account_info()").currency
    print(f"\nSymbols: {qv.symbols_total()} in the catalogue; margin of 1 lot bought at the ask")
    print(f"  {'symbol':<8} {'bid':>12} {'ask':>12} {'spread':>7} {'margin':>14}  description")
    for name in names:
        info = qv.symbol_info(name)
        tick = qv.symbol_info_tick(name)
        if info is None or tick is None:
            print(f"  {name:<8} unavailable: {qv.last_error()}")
            continue
        margin = qv.order_calc_margin(qv.OrderType.BUY, name, 1.0, tick.ask)
        shown = f"{margin:.2f} {currency}" if margin is not None else "n/a"
        print(f"  {name:<8} {tick.bid:>12.{info.digits}f} {tick.ask:>12.{info.digits}f} "
              f"{info.spread:>7} {shown:>14}  {info.description}")


def market_watch(name: str = "EURGBP") -> None:
    def selected() -> str:
        info = qv.symbol_info(name)
        return "in Market Watch" if info is not None and info.select else "not in Market Watch"

    print(f"\nMarket Watch: {name} is {selected()}")
    if not qv.symbol_select(name, True):
        raise _failed(f"symbol_select({name!r}, True)")
    print(f"  symbol_select({name!r}, True)  -> {selected()}")
    if not qv.symbol_select(name, False):
        raise _failed(f"symbol_select({name!r}, False)")
    print(f"  symbol_select({name!r}, False) -> {selected()}")


def depth_of_market(symbol: str, levels: int = 3) -> None:
    if not qv.market_book_add(symbol):
        raise _failed(f"market_book_add({symbol!r})")
    try:
        book = qv.market_book_get(symbol)
        if book is None:
            raise _failed(f"market_book_get({symbol!r})")
        digits = _need(qv.symbol_info(symbol), f"symbol_info({symbol!r})").digits
        sells = [e for e in book if e.type == qv.BookType.SELL]
        buys = [e for e in book if e.type == qv.BookType.BUY]
        print(f"\nDepth of Market of {symbol}: {len(sells)} sell and {len(buys)} buy levels; nearest {levels}:")
        for entry in sells[-levels:]:
            print(f"  sell {entry.price:>12.{digits}f} x {entry.volume}")
        for entry in buys[:levels]:
            print(f"  buy  {entry.price:>12.{digits}f} x {entry.volume}")
    finally:
        qv.market_book_release(symbol)


def paper_trade(symbol: str) -> None:
    """Buys the smallest volume at the market, shows the position, closes it and prints
    the deals of the round trip. A symbol whose market is closed (forex at
    the weekend) is traded as BTCUSD instead."""
    info = qv.symbol_info(symbol)
    if info is None:
        raise _failed(f"symbol_info({symbol!r})")
    volume = info.volume_min  # the smallest trade the symbol allows
    buy: qv.TradeRequestDict = {"action": qv.TradeAction.DEAL, "symbol": symbol, "volume": volume,
                                "type": qv.OrderType.BUY, "comment": "demo"}
    check = qv.order_check(buy)
    if check is None:
        raise _failed("order_check()")
    if check.retcode == qv.TradeRetcode.MARKET_CLOSED and symbol != ALWAYS_OPEN:
        print(f"\nPaper trade: the {symbol} market is closed now; trading {ALWAYS_OPEN} instead")
        return paper_trade(ALWAYS_OPEN)
    print(f"\nPaper trade: buying {volume} {symbol} needs {check.margin:.2f} margin "
          f"(free margin after: {check.margin_free:.2f})")
    opened = qv.order_send(buy)
    if opened is None:
        raise _failed("order_send()")
    if opened.retcode != qv.TradeRetcode.DONE:
        raise DemoError(f"the Terminal refused the trade: {opened.comment} ({opened.retcode})")
    print(f"  bought at {opened.price} (deal {opened.deal}, order {opened.order})")
    positions = _need(qv.positions_get(symbol=symbol), "positions_get()")
    position = next(p for p in positions if p.ticket == opened.order)
    print(f"  position {position.ticket}: {qv.PositionType(position.type).name} {position.volume} {symbol} "
          f"at {position.price_open}, now {position.price_current}, profit {position.profit:.2f}")
    closed = qv.order_send(action=qv.TradeAction.DEAL, symbol=symbol, volume=position.volume,
                           type=qv.OrderType.SELL, position=position.ticket, comment="demo close")
    if closed is None:
        raise _failed("order_send()")
    if closed.retcode != qv.TradeRetcode.DONE:
        raise DemoError(f"the Terminal refused to close the position: {closed.comment} ({closed.retcode})")
    print(f"  closed at {closed.price}; the deals of position {position.identifier}:")
    for deal in qv.history_deals_get(position=position.identifier) or ():
        print(f"  deal {deal.ticket:<6} {qv.DealEntry(deal.entry).name:<4} {deal.volume} @ {deal.price}  "
              f"profit {deal.profit:.2f}  commission {deal.commission:.2f}")
    print(f"  balance now {_need(qv.account_info(), 'account_info()').balance:.2f}")


def history(symbol: str) -> Any:
    """Prints the latest H1 bars and ticks and times a year of M1 bars;
    returns the H1 bars for the chart."""
    rates = qv.copy_rates_from_pos(symbol, qv.Timeframe.H1, 0, 120)
    if rates is None:
        raise _failed(f"copy_rates_from_pos({symbol!r})")
    print(f"\nLast H1 bars of {symbol} ({len(rates)} received, newest last):")
    print(f"  {'time (UTC)':<17} {'open':>10} {'high':>10} {'low':>10} {'close':>10} {'ticks':>7}")
    for bar in rates[-5:]:
        print(f"  {_utc(int(bar['time'])):<17} {bar['open']:>10} {bar['high']:>10} {bar['low']:>10} "
              f"{bar['close']:>10} {int(bar['tick_volume']):>7}")

    ticks = qv.copy_ticks_from(symbol, int(rates[-1]["time"]), 5, qv.CopyTicks.ALL)
    if ticks is None:
        raise _failed(f"copy_ticks_from({symbol!r})")
    print(f"\nFirst ticks of the newest bar ({len(ticks)}):")
    for tick in ticks:
        when = dt.datetime.fromtimestamp(int(tick["time_msc"]) / 1000, dt.timezone.utc)
        print(f"  {when:%Y-%m-%d %H:%M:%S.%f}"[:-3] + f"  bid {tick['bid']}  ask {tick['ask']}")

    end = int(rates[-1]["time"])
    with Timer(f"\nA year of M1 bars of {symbol} (copy_rates_range)") as t:
        year = qv.copy_rates_range(symbol, qv.Timeframe.M1, end - 365 * 86400, end)
        if year is None:
            raise _failed("copy_rates_range()")
        t.done(f"{len(year):,} bars ({year.nbytes / 2**20:.1f} MiB)")
    return rates


def save_chart(rates: Any, symbol: str, path: Optional[str]) -> Tuple[Optional[str], Optional[str]]:
    """Writes the chart to `path`, or by default to one file a symbol in the
    temporary folder, which every run replaces rather than leaving a new one
    each time. Returns (where it was written, None) or (None, why not)."""
    if path is not None:
        written, reason = save_bar_chart(rates, symbol, path)
        return (path, None) if written else (None, reason)
    folder = tempfile.gettempdir()
    fd, fresh = tempfile.mkstemp(prefix=f"quorvane-demo-{symbol.lower()}-", suffix=".png", dir=folder)
    os.close(fd)
    written, reason = save_bar_chart(rates, symbol, fresh)
    if not written:
        os.unlink(fresh)
        return None, reason
    # Renamed into place: a link or another user's file of that name is
    # replaced or left alone, never written through.
    target = os.path.join(folder, f"quorvane-demo-{symbol.lower()}-h1.png")
    try:
        os.replace(fresh, target)
    except OSError as e:
        os.unlink(fresh)  # never one more file each run
        return None, f"cannot write {target}: {e.strerror or e}"
    return target, None


def _missing_folders(data_folder: str) -> List[str]:
    """The Terminals' Common folder beside `data_folder` and those of its
    parents that do not exist yet, deepest first: what a Terminal's start
    would make in the user's roaming folder."""
    missing: List[str] = []
    if not data_folder:
        return missing
    folder = os.path.join(os.path.dirname(data_folder), "Common")
    while not os.path.isdir(folder):
        missing.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    return missing


class PrivateTerminal:
    """A copy of the bundled Terminal in a temporary folder, started portable.
    Its roaming data folder is in that folder too (on POSIX; Windows takes
    the user's own, where the copy's data folder is removed afterwards, and
    so are the Terminals' Common folder and its parents when this run made
    them and they are still empty). Leaving stops it by its pid file and
    removes the folder."""

    def __init__(self) -> None:
        bundled = qv.terminal_path()
        if not os.path.isfile(bundled):
            raise DemoError(f"the bundled Terminal is missing at {bundled}; reinstall quorvane")
        self.folder = tempfile.mkdtemp(prefix="quorvane-demo-")
        exe = os.path.join(self.folder, os.path.basename(bundled))
        try:
            shutil.copy(bundled, exe)
        except OSError:
            shutil.rmtree(self.folder, ignore_errors=True)
            raise
        self.inst = _instance.Installation.of(exe)
        self.roaming = None if sys.platform == "win32" else os.path.join(self.folder, "data")
        self.made = [] if self.roaming is not None else _missing_folders(self.inst.data_folder)
        self.pid: Optional[int] = None

    def start(self) -> None:
        with Timer(f"Starting a private Terminal in {self.folder}") as t:
            try:
                env = None if self.roaming is None else dict(os.environ, XDG_DATA_HOME=self.roaming)
                self.pid = _instance.start_detached(self.inst, portable=True, env=env)
            except _instance.StartError as e:
                raise DemoError(str(e)) from None
            if not qv.initialize(self.inst.executable, portable=True, login=DEMO_LOGIN, password=DEMO_PASSWORD,
                                 server=DEMO_SERVER):
                raise _failed("initialize()")
            t.done(f"ready (pid {self.pid})")

    def close(self) -> None:
        qv.shutdown()
        pid = _instance.running_pid(self.inst)
        if pid is not None:
            print(f"\nStopping the private Terminal (pid {pid}) ...", end="", flush=True)
            print(" stopped" if _instance.stop(pid, self.inst) else " it did not stop", flush=True)
        if self.roaming is None and self.inst.data_folder:
            _instance.remove_tree(self.inst.data_folder)
        for folder in self.made:  # deepest first; one that now holds anything stays
            try:
                os.rmdir(folder)
            except OSError:
                pass
        _instance.remove_tree(self.folder)

    def __enter__(self) -> "PrivateTerminal":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _stop_on_sigterm() -> None:
    """SIGTERM ends the tour like Ctrl+C: through the clean-up."""
    def raise_interrupt(_signum: int, _frame: Optional[FrameType]) -> None:
        raise KeyboardInterrupt

    if threading.current_thread() is threading.main_thread():  # handlers belong to the main thread
        signal.signal(signal.SIGTERM, raise_interrupt)


def run(symbol: str = "EURUSD", chart: Optional[str] = None) -> int:
    """The whole tour; returns the process exit code."""
    _stop_on_sigterm()
    try:
        with PrivateTerminal() as terminal:
            terminal.start()
            major, build, released = qv.version()
            print(f"Connected: Terminal version {major}, build {build}, released {released}")
            show("Account", _need(qv.account_info(), "account_info()"), ("login", "name", "server", "currency", "leverage", "balance",
                                                "equity", "margin_free"))
            if qv.symbol_info(symbol) is None:
                raise DemoError(f"unknown symbol {symbol!r}: {qv.last_error()}")
            show_symbols(tuple(dict.fromkeys((symbol,) + SHOWN_SYMBOLS)))
            market_watch()
            depth_of_market(symbol)
            paper_trade(symbol)
            rates = history(symbol)
            path, reason = save_chart(rates, symbol, chart)
            if path is not None:
                print(f"\nChart of the last {len(rates)} H1 bars written to {path}")
            else:
                print(f"\nNo chart: {reason}")
    except DemoError as e:
        print(f"\ndemo: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"\ndemo: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\ndemo: interrupted", file=sys.stderr)
        return 130
    print("\nThe private Terminal is stopped and its folder removed. To keep a Terminal running for your"
          " own scripts: python -m quorvane terminal start")
    return 0
