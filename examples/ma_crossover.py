"""Moving-average crossover, paper-traded on the Terminal's clock.

Each time a bar completes, compares the fast and the slow simple moving
average of the closes: when the fast one crosses above the slow one it
closes a short position and buys; when it crosses below, it closes a long
position and sells. Every trade goes through order_send on the current
(demo) account and is printed; at the end the open position is closed and
the balance printed.

    python examples/ma_crossover.py [--symbol BTCUSD] [--timeframe M1]
        [--fast 5] [--slow 20] [--volume 0.01] [--seconds 30] [--terminal PATH]

With the wall clock a one-minute crossover takes minutes to come; start the
bundled Terminal with a moving clock to see it trade at once, e.g.
``python -m quorvane terminal start -- --clock 2026-01-15T12:00:00Z
--speed 300`` (five market minutes a second), then run this script.
"""

from __future__ import annotations

import argparse
import datetime as dt
import sys
import time
from typing import Any

import numpy as np

import quorvane as qv

MAGIC = 7_100_001  # tags this strategy's orders and deals


class Trader:
    """Holds at most one position of the strategy, long or short."""

    def __init__(self, symbol: str, volume: float) -> None:
        self.symbol = symbol
        self.volume = volume
        self.position: Any = None  # the open TradePosition, if any
        self.trades = 0

    def side(self) -> int | None:
        return None if self.position is None else int(self.position.type)

    def send(self, order_type: int, when: int, position: int = 0) -> Any:
        # Typed, so that mypy refuses a misspelled key as the package refuses it at run time.
        request: qv.TradeRequestDict = {"action": qv.TradeAction.DEAL, "symbol": self.symbol,
                                        "volume": self.volume, "type": order_type, "magic": MAGIC,
                                        "comment": "ma crossover"}
        if position:
            request["position"] = position
        result = qv.order_send(request)
        stamp = dt.datetime.fromtimestamp(when, dt.timezone.utc).strftime("%Y-%m-%d %H:%M")
        verb = "BUY " if order_type == qv.OrderType.BUY else "SELL"
        what = "close" if position else "open "
        if result is None:
            print(f"{stamp}  {what} {verb} failed: {qv.last_error()}")
            return None
        print(f"{stamp}  {what} {verb} {self.volume:g} {self.symbol} at {result.price:g}  "
              f"({result.retcode} {result.comment})")
        if result.retcode != qv.TradeRetcode.DONE:
            return None
        self.trades += 1
        return result

    def close(self, when: int) -> None:
        if self.position is None:
            return
        opposite = qv.OrderType.SELL if self.side() == qv.PositionType.BUY else qv.OrderType.BUY
        if self.send(opposite, when, position=int(self.position.ticket)) is not None:
            self.position = None

    def go(self, order_type: int, when: int) -> None:
        """Turns the book to one position of `order_type`'s side."""
        wanted = qv.PositionType.BUY if order_type == qv.OrderType.BUY else qv.PositionType.SELL
        if self.side() == wanted:
            return
        self.close(when)
        if self.position is not None:  # the close was refused: stay as we are
            return
        result = self.send(order_type, when)
        if result is not None:
            # The position a market order opens is identified by that order.
            found = qv.positions_get(symbol=self.symbol) or ()
            mine = [p for p in found if int(p.identifier) == int(result.order)]
            self.position = mine[0] if mine else None


def crossing(closes: np.ndarray, fast: int, slow: int) -> int:
    """+1 when the fast average crossed above the slow one at the last close,
    -1 when it crossed below, 0 otherwise."""
    def averages(upto: int) -> tuple[float, float]:
        window = closes[: len(closes) - upto]
        return float(window[-fast:].mean()), float(window[-slow:].mean())

    fast_before, slow_before = averages(1)
    fast_now, slow_now = averages(0)
    if fast_before <= slow_before and fast_now > slow_now:
        return 1
    if fast_before >= slow_before and fast_now < slow_now:
        return -1
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--terminal", default=qv.terminal_path(), help="Terminal executable (default: the bundled one)")
    parser.add_argument("--symbol", default="BTCUSD", help="default BTCUSD: it trades around the clock")
    parser.add_argument("--timeframe", default="M1", choices=[t.name for t in qv.Timeframe])
    parser.add_argument("--fast", type=int, default=5)
    parser.add_argument("--slow", type=int, default=20)
    parser.add_argument("--volume", type=float, default=0.01)
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to run; 0 = until Ctrl+C")
    parser.add_argument("--poll", type=float, default=0.2, help="seconds between looks at the bars")
    args = parser.parse_args(argv)
    if not 1 <= args.fast < args.slow:
        parser.error("need 1 <= --fast < --slow")

    if not qv.initialize(args.terminal):
        print("initialize() failed:", qv.last_error(), file=sys.stderr)
        return 1
    trader = Trader(args.symbol, args.volume)
    timeframe = qv.Timeframe[args.timeframe]
    deadline = time.monotonic() + args.seconds if args.seconds else None
    last_bar = 0
    try:
        account = qv.account_info()
        if account is None:
            print("account_info() failed:", qv.last_error(), file=sys.stderr)
            return 1
        start_balance = float(account.balance)
        print(f"{args.symbol} {args.timeframe}, SMA {args.fast}/{args.slow}, {args.volume:g} lots; "
              f"balance {start_balance:.2f} {account.currency}")
        try:
            while deadline is None or time.monotonic() < deadline:
                # Position 1 on: completed bars only, the one in progress left out.
                bars = qv.copy_rates_from_pos(args.symbol, timeframe, 1, args.slow + 1)
                if bars is None:
                    print("copy_rates_from_pos() failed:", qv.last_error(), file=sys.stderr)
                    return 1
                if len(bars) == args.slow + 1 and int(bars["time"][-1]) != last_bar:
                    last_bar = int(bars["time"][-1])
                    signal = crossing(bars["close"], args.fast, args.slow)
                    when = last_bar + timeframe * 60
                    if signal > 0:
                        trader.go(qv.OrderType.BUY, when)
                    elif signal < 0:
                        trader.go(qv.OrderType.SELL, when)
                time.sleep(args.poll)
        except KeyboardInterrupt:
            print("stopped")
        tick = qv.symbol_info_tick(args.symbol)
        trader.close(int(tick.time) if tick is not None else int(time.time()))
        final = qv.account_info()
        balance = float(final.balance) if final is not None else float("nan")
        print(f"{trader.trades} deals; balance {balance:.2f} {account.currency} "
              f"({balance - start_balance:+.2f})")
        return 0
    finally:
        qv.shutdown()


if __name__ == "__main__":
    sys.exit(main())
