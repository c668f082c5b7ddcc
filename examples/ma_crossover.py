"""Moving-average crossover: one bar-driven strategy, backtested or paper-traded.

``MaCrossover.on_bar(symbol, bars)`` sees the closed bars, newest last, and
compares the fast and the slow simple moving average of the closes: when the
fast one crosses above the slow one it closes a short position and buys;
when it crosses below, it closes a long position and sells. It trades
through the ordinary functions (``quorvane.trade``, ``positions_get``), so
the very same code runs

- as a backtest, on a private Terminal stepped bar by bar:

      python examples/ma_crossover.py --backtest 2026-01-05 2026-01-10 [--chart equity.png]

- or live, against a running Terminal, on each bar as it closes:

      python examples/ma_crossover.py [--seconds 30]

  With the wall clock a one-minute crossover takes minutes to come; start
  the bundled Terminal with a moving clock to see it trade at once, e.g.
  ``python -m quorvane terminal start -- --clock 2026-01-15T12:00:00Z --speed 300``.

Common options: [--symbol BTCUSD] [--timeframe M1] [--fast 5] [--slow 20]
[--volume 0.01] [--terminal PATH]. Live, it closes its position at the end.
"""

from __future__ import annotations

import argparse
import datetime as dt
import sys
import time
from typing import Any

import numpy as np

import quorvane as qv
from quorvane import backtest, trade

MAGIC = 7_100_001  # tags this strategy's orders and deals


def crossing(closes: np.ndarray, fast: int, slow: int) -> int:
    """+1 when the fast average crossed above the slow one at the last close,
    -1 when it crossed below, 0 otherwise (or with too few bars)."""
    if len(closes) < slow + 1:
        return 0
    fast_now, slow_now = closes[-fast:].mean(), closes[-slow:].mean()
    fast_before, slow_before = closes[-fast - 1:-1].mean(), closes[-slow - 1:-1].mean()
    if fast_before <= slow_before and fast_now > slow_now:
        return 1
    if fast_before >= slow_before and fast_now < slow_now:
        return -1
    return 0


class MaCrossover:
    """Holds at most one position of its own per symbol, long or short."""

    def __init__(self, fast: int, slow: int, volume: float, verbose: bool = False) -> None:
        if not 1 <= fast < slow:
            raise ValueError("need 1 <= fast < slow")
        self.fast, self.slow, self.volume, self.verbose = fast, slow, volume, verbose
        self.deals = 0

    def on_bar(self, symbol: str, bars: np.ndarray) -> None:
        signal = crossing(bars["close"], self.fast, self.slow)
        if signal == 0:
            return
        mine = [p for p in qv.positions_get(symbol=symbol) or () if p.magic == MAGIC]
        wanted = qv.PositionType.BUY if signal > 0 else qv.PositionType.SELL
        for position in mine:
            if position.type != wanted:
                self.report(trade.close(position), "close", symbol)
        if not any(p.type == wanted for p in mine):
            send = trade.buy if signal > 0 else trade.sell
            self.report(send(symbol, self.volume, magic=MAGIC, comment="ma crossover"), "open", symbol)

    def report(self, result: Any, what: str, symbol: str) -> None:
        if result is not None and result.retcode == qv.TradeRetcode.DONE:
            self.deals += 1
        if not self.verbose:
            return
        tick = qv.symbol_info_tick(symbol)
        stamp = dt.datetime.fromtimestamp(tick.time if tick else time.time(), dt.timezone.utc)
        if result is None:
            print(f"{stamp:%Y-%m-%d %H:%M}  {what} failed: {qv.last_error()}")
        else:
            print(f"{stamp:%Y-%m-%d %H:%M}  {what} {symbol} at {result.price:g}  ({result.retcode} {result.comment})")


def run_backtest(args: argparse.Namespace, strategy: MaCrossover, timeframe: qv.Timeframe) -> int:
    try:
        result = backtest.run(strategy.on_bar, args.symbol, timeframe, args.backtest[0], args.backtest[1],
                              lookback=args.slow + 1, terminal=args.terminal)
    except (backtest.BacktestError, backtest.ClockError) as e:
        print(f"the backtest failed: {e}", file=sys.stderr)
        return 1
    print(f"{args.symbol} {args.timeframe}, SMA {args.fast}/{args.slow}, {args.volume:g} lots, "
          f"{args.backtest[0]} to {args.backtest[1]}: {len(result.equity)} bars")
    for name, value in result.stats.items():
        print(f"  {name:<17} {value:.4f}" if isinstance(value, float) else f"  {name:<17} {value}")
    final = float(result.equity["balance"][-1]) if len(result.equity) else result.deposit
    print(f"{len(result.deals) - 1} deals; balance {final:.2f} {result.currency}")
    if args.chart:
        try:
            result.plot(args.chart)
            print(f"chart written to {args.chart}")
        except ImportError as e:
            print(f"no chart: {e}")
    return 0


def run_live(args: argparse.Namespace, strategy: MaCrossover, timeframe: qv.Timeframe) -> int:
    from quorvane.live import watch_bars

    if not qv.initialize(args.terminal):
        print("initialize() failed:", qv.last_error(), file=sys.stderr)
        return 1
    try:
        account = qv.account_info()
        if account is None:
            print("account_info() failed:", qv.last_error(), file=sys.stderr)
            return 1
        print(f"{args.symbol} {args.timeframe}, SMA {args.fast}/{args.slow}, {args.volume:g} lots; "
              f"balance {account.balance:.2f} {account.currency}")
        try:
            for _ in watch_bars(args.symbol, timeframe, poll_interval=args.poll, duration=args.seconds or None):
                # Position 1 on: closed bars only, as a backtest hands them over.
                bars = qv.copy_rates_from_pos(args.symbol, timeframe, 1, args.slow + 1)
                if bars is not None:
                    strategy.on_bar(args.symbol, bars)
        except KeyboardInterrupt:
            print("stopped")
        for position in qv.positions_get(symbol=args.symbol) or ():
            if position.magic == MAGIC:
                strategy.report(trade.close(position), "close", args.symbol)
        final = qv.account_info()
        balance = float(final.balance) if final is not None else float("nan")
        print(f"{strategy.deals} deals; balance {balance:.2f} {account.currency} "
              f"({balance - float(account.balance):+.2f})")
        return 0
    finally:
        qv.shutdown()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--terminal", default=qv.terminal_path(), help="Terminal program (default: the bundled one)")
    parser.add_argument("--symbol", default="BTCUSD", help="default BTCUSD: it trades around the clock")
    parser.add_argument("--timeframe", default="M1", choices=[t.name for t in qv.Timeframe])
    parser.add_argument("--fast", type=int, default=5)
    parser.add_argument("--slow", type=int, default=20)
    parser.add_argument("--volume", type=float, default=0.01)
    parser.add_argument("--backtest", nargs=2, metavar=("START", "END"),
                        help="backtest from START to END (ISO dates, UTC) instead of trading live")
    parser.add_argument("--chart", metavar="PATH", help="with --backtest: write the equity chart (needs matplotlib)")
    parser.add_argument("--seconds", type=float, default=30.0, help="live: how long to run; 0 = until Ctrl+C")
    parser.add_argument("--poll", type=float, default=0.2, help="live: seconds between looks at the bars")
    args = parser.parse_args(argv)
    if not 1 <= args.fast < args.slow:
        parser.error("need 1 <= --fast < --slow")
    strategy = MaCrossover(args.fast, args.slow, args.volume, verbose=True)
    timeframe = qv.Timeframe[args.timeframe]
    if args.backtest:
        return run_backtest(args, strategy, timeframe)
    return run_live(args, strategy, timeframe)


if __name__ == "__main__":
    sys.exit(main())
