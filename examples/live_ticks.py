"""A live tick monitor: prints each new tick of some symbols as it arrives.

    python examples/live_ticks.py [--symbols EURUSD,BTCUSD] [--seconds 10]
        [--kind all|info|trade] [--terminal PATH]

Runs for --seconds (0: until Ctrl+C) and then prints how many ticks of each
symbol it saw. Uses quorvane.live.watch_ticks, which polls the Terminal and
yields every tick once, in order.
"""

from __future__ import annotations

import argparse
import datetime as dt
import sys
from typing import Any

import quorvane as qv
from quorvane.live import WatchError, watch_ticks


def describe(symbol: str, tick: Any, digits: int) -> str:
    """One line for one tick: time with milliseconds, the quote, and the deal
    when the tick is one."""
    when = dt.datetime.fromtimestamp(int(tick["time_msc"]) / 1000, dt.timezone.utc)
    flags = qv.TickFlag(int(tick["flags"]))
    line = (f"{when:%Y-%m-%d %H:%M:%S}.{when.microsecond // 1000:03d}  {symbol:<8} "
            f"bid {float(tick['bid']):.{digits}f}  ask {float(tick['ask']):.{digits}f}")
    if flags & qv.TickFlag.VOLUME:
        side = "buy" if flags & qv.TickFlag.BUY else "sell" if flags & qv.TickFlag.SELL else "deal"
        line += f"  {side} {float(tick['volume_real']):g} at {float(tick['last']):.{digits}f}"
    return line


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--terminal", default=qv.terminal_path(), help="Terminal executable (default: the bundled one)")
    parser.add_argument("--symbols", default="EURUSD,BTCUSD", help="comma-separated names")
    parser.add_argument("--seconds", type=float, default=10.0, help="how long to watch; 0 = until Ctrl+C")
    parser.add_argument("--kind", default="all", choices=["all", "info", "trade"])
    args = parser.parse_args(argv)
    symbols = [s.strip() for s in args.symbols.split(",") if s.strip()]

    if not qv.initialize(args.terminal):
        print("initialize() failed:", qv.last_error(), file=sys.stderr)
        return 1
    counts = dict.fromkeys(symbols, 0)
    try:
        digits = {}
        for symbol in symbols:
            info = qv.symbol_info(symbol)
            if info is None:
                print(f"unknown symbol {symbol}:", qv.last_error(), file=sys.stderr)
                return 1
            digits[symbol] = int(info.digits)
        kind = qv.CopyTicks[args.kind.upper()]
        print(f"watching {', '.join(symbols)}" + (f" for {args.seconds:g} s" if args.seconds else " (Ctrl+C stops)"))
        for symbol, ticks in watch_ticks(symbols, flags=kind, duration=args.seconds or None):
            for tick in ticks:
                print(describe(symbol, tick, digits[symbol]))
            counts[symbol] += len(ticks)
    except KeyboardInterrupt:
        print("stopped")
    except WatchError as error:
        print(error, file=sys.stderr)
        return 1
    finally:
        qv.shutdown()
    print("ticks seen: " + ", ".join(f"{symbol} {n}" for symbol, n in counts.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
