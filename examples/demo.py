"""A tour of the connector against the bundled simulated Terminal.

Starts the Terminal that ships with the package (or reuses it when it is
already running), logs in to a demo account, prints the Terminal's version,
its information and the account's, a few symbols with their prices and the
margin of one lot, opens a small paper trade, shows the position, closes it
and prints its deals, then prints the last bars of a symbol and saves them
as a chart.

    python examples/demo.py [SYMBOL] [CHART.png]
"""

from __future__ import annotations

import datetime as dt
import os
import sys
from collections.abc import Iterable
from typing import Any

import quorvane as qv

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from chart import save_bar_chart  # noqa: E402

DEMO_LOGIN = 5001001
DEMO_PASSWORD = "demo1001"
DEMO_SERVER = "Quorvane-Demo"


def show(title: str, record: Any) -> None:
    if record is None:
        print(f"\n{title}: unavailable: {qv.last_error()}")
        return
    print(f"\n{title}")
    for key, value in record._asdict().items():
        print(f"  {key:<24} {value}")


def show_symbols(names: Iterable[str]) -> None:
    total = qv.symbols_total()
    print(f"\nSymbols: {total} in the catalogue; margin of 1 lot bought at the ask")
    print(f"  {'symbol':<8} {'bid':>12} {'ask':>12} {'spread':>7} {'margin':>12}  description")
    account = qv.account_info()
    currency = account.currency if account is not None else ""
    for name in names:
        info = qv.symbol_info(name)
        tick = qv.symbol_info_tick(name)
        if info is None or tick is None:
            print(f"  {name:<8} unavailable: {qv.last_error()}")
            continue
        margin = qv.order_calc_margin(qv.OrderType.BUY, name, 1.0, tick.ask)
        shown = f"{margin:>8.2f} {currency}" if margin is not None else "n/a"
        print(f"  {name:<8} {tick.bid:>12.{info.digits}f} {tick.ask:>12.{info.digits}f} "
              f"{info.spread:>7} {shown:>12}  {info.description}")


def paper_trade(symbol: str) -> None:
    """Opens 0.01 lot bought at the market, shows the position, closes it and
    prints the two deals the round trip left in the history."""
    buy = {"action": qv.TradeAction.DEAL, "symbol": symbol, "volume": 0.01, "type": qv.OrderType.BUY,
           "comment": "demo"}
    check = qv.order_check(buy)
    if check is None:
        print("order_check() failed:", qv.last_error())
        return
    print(f"\nPaper trade: buying 0.01 {symbol} would need {check.margin:.2f} margin "
          f"(free margin after: {check.margin_free:.2f})")
    opened = qv.order_send(buy)
    if opened is None or opened.retcode != qv.TradeRetcode.DONE:
        print("order_send() refused the trade:", opened.comment if opened else qv.last_error())
        return
    print(f"  bought at {opened.price} (deal {opened.deal}, order {opened.order})")
    positions = qv.positions_get(symbol=symbol)
    if not positions:
        print("the new position is not listed:", qv.last_error())
        return
    position = positions[-1]
    show(f"Position {position.ticket}", position)

    closed = qv.order_send(action=qv.TradeAction.DEAL, symbol=symbol, volume=position.volume,
                           type=qv.OrderType.SELL, position=position.ticket, comment="demo close")
    if closed is None or closed.retcode != qv.TradeRetcode.DONE:
        print("closing failed:", closed.comment if closed else qv.last_error())
        return
    print(f"\nClosed at {closed.price}; deals of position {position.identifier}:")
    for deal in qv.history_deals_get(position=position.identifier) or ():
        print(f"  deal {deal.ticket:<6} {qv.DealEntry(deal.entry).name:<4} {deal.volume} @ {deal.price}  "
              f"profit {deal.profit:.2f}  commission {deal.commission:.2f}")
    account = qv.account_info()
    if account is not None:
        print(f"Balance now {account.balance:.2f}")


def main() -> int:
    symbol = sys.argv[1] if len(sys.argv) > 1 else "EURUSD"
    chart_path = sys.argv[2] if len(sys.argv) > 2 else f"{symbol.lower()}_h1.png"

    terminal = qv.terminal_path()
    print(f"Starting the Terminal at {terminal} ...")
    if not qv.initialize(terminal, login=DEMO_LOGIN, password=DEMO_PASSWORD, server=DEMO_SERVER):
        print("initialize() failed:", qv.last_error())
        return 1
    try:
        major, build, released = qv.version()
        print(f"Connected: Terminal version {major}, build {build}, released {released}")
        show("Terminal", qv.terminal_info())
        show("Account", qv.account_info())

        show_symbols(("EURUSD", "USDJPY", "XAUUSD", "US500", "BTCUSD"))
        paper_trade(symbol)

        rates = qv.copy_rates_from_pos(symbol, qv.Timeframe.H1, 0, 120)
        if rates is None:
            print(f"copy_rates_from_pos({symbol!r}) failed:", qv.last_error())
            return 1
        print(f"\nLast H1 bars of {symbol} ({len(rates)} received, newest last):")
        print(f"  {'time (UTC)':<17} {'open':>10} {'high':>10} {'low':>10} {'close':>10} {'ticks':>7}")
        for bar in rates[-8:]:
            when = dt.datetime.fromtimestamp(int(bar["time"]), dt.timezone.utc).strftime("%Y-%m-%d %H:%M")
            print(f"  {when:<17} {bar['open']:>10.5f} {bar['high']:>10.5f} {bar['low']:>10.5f} "
                  f"{bar['close']:>10.5f} {int(bar['tick_volume']):>7}")

        ticks = qv.copy_ticks_from(symbol, int(rates[-1]["time"]), 5, qv.CopyTicks.ALL)
        if ticks is not None:
            print(f"\nFirst ticks of the newest bar: {len(ticks)}")
            for tick in ticks:
                print(f"  {int(tick['time_msc'])}  bid {tick['bid']:.5f}  ask {tick['ask']:.5f}")

        if save_bar_chart(rates, symbol, chart_path):
            print(f"\nChart saved to {chart_path}")
    finally:
        qv.shutdown()
    print("\nThe Terminal keeps running in the background for the next session;"
          " stop it with: pkill -f quorvane/bin/terminal64")
    return 0


if __name__ == "__main__":
    sys.exit(main())
