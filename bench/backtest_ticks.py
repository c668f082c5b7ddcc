"""Tick backtest speed: ticks a second of quorvane.backtest.run_ticks on
EURUSD, next to a bare Python loop calling the same function over the same
ticks, and the Terminal walking the ticks with no callback.

    python bench/backtest_ticks.py [--start 2025-01-06] [--end 2026-01-05] [--folder DIR]

Rows:
- "on_tick, nothing": run_ticks with an on_tick that does nothing;
- "on_tick, trades": one that buys or closes 0.1 lot every 10 000th tick;
- "bare loop": the same do-nothing function called over the same ticks
  (read ahead as run_ticks reads them, a day at a time, then one list),
  with no Terminal: the floor of any per-tick Python loop;
- "walk, no callback": backtest.run with H1 bars whose on_bar opens one
  position with a stop and a target that are never reached at the first
  bar and does nothing after: the Terminal walks every tick between the
  hourly steps (checking the stops) with no Python per tick.
Each row is timed once, in this process (the private Terminal inside it).
The Terminal's folder defaults to /dev/shm where there is one.
"""

from __future__ import annotations

import argparse
import os
import time

import quorvane as qv
from quorvane import _core, backtest, trade
from quorvane.backtest._inprocess import InProcessTerminal
from quorvane.backtest._run import to_ms
from quorvane.backtest._terminal import clock_text, settings

SYMBOL = "EURUSD"


def nothing(symbol, tick):
    return None


def trader():
    count = [0]

    def on_tick(symbol, tick):
        count[0] += 1
        if count[0] % 10_000 == 0:
            held = qv.positions_get(symbol=symbol)
            if held:
                trade.close(held[0])
            else:
                trade.buy(symbol, 0.1)

    return on_tick


def ticks_of(start_ms: int, end_ms: int, folder: str | None):
    """The run's ticks as run_ticks reads them: (times, rows)."""
    with InProcessTerminal(settings(10000.0, "USD", 100, True), None, folder) as private:
        private.start(["--clock", clock_text(start_ms), "--step", "--store-sync=0"])
        times, rows = [], []
        lo = start_ms + 1
        while lo <= end_ms:
            hi = min(lo + 86_400_000 - 1, end_ms)
            day = _core._ticks_ahead(SYMBOL, lo, hi)
            times += day["time_msc"].tolist()
            rows += list(day)
            lo = hi + 1
    return times, rows


def bare_loop(times, rows) -> float:
    on_tick, name = nothing, SYMBOL
    began = time.perf_counter()
    for i, t in enumerate(times):
        on_tick(name, rows[i])
    return time.perf_counter() - began


def walk_only(start: str, end: str, folder: str | None) -> tuple[float, int]:
    opened = []

    def on_bar(symbol, bars):
        if not opened:
            close = float(bars["close"][-1])
            opened.append(trade.buy(symbol, 0.1, sl=round(close - 0.5, 5), tp=round(close + 0.5, 5), check=True))

    began = time.perf_counter()
    result = backtest.run(on_bar, SYMBOL, qv.Timeframe.H1, start, end, folder=folder, progress=False)
    spent = time.perf_counter() - began
    assert len(result.deals) == 2, result.deals  # the deposit and the buy: the stops never fire
    return spent, len(result.equity)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--start", default="2025-01-06")
    parser.add_argument("--end", default="2026-01-05")
    parser.add_argument("--folder", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = parser.parse_args()
    start_ms, end_ms = to_ms(args.start, "start"), to_ms(args.end, "end")

    times, rows = ticks_of(start_ms, end_ms, args.folder)
    n = len(times)
    print(f"{SYMBOL} {args.start} .. {args.end}: {n:,} ticks; load {os.getloadavg()[0]:.1f}")
    bare = bare_loop(times, rows)
    del rows

    rates = {}
    for label, on_tick in (("on_tick, nothing", nothing), ("on_tick, trades", trader())):
        began = time.perf_counter()
        result = backtest.run_ticks(on_tick, SYMBOL, args.start, args.end, folder=args.folder, progress=False)
        spent = time.perf_counter() - began
        rates[label] = n / spent
        print(f"{label:20} {spent:8.2f} s {n / spent:12,.0f} ticks/s  {spent / bare:6.1f}x the bare loop  "
              f"({len(result.deals) - 1} deals, {len(result.equity):,} M1 rows)")
    print(f"{'bare loop':20} {bare:8.2f} s {n / bare:12,.0f} ticks/s")
    spent, steps = walk_only(args.start, args.end, args.folder)
    print(f"{'walk, no callback':20} {spent:8.2f} s {n / spent:12,.0f} ticks/s  ({steps:,} H1 steps)")


if __name__ == "__main__":
    main()
