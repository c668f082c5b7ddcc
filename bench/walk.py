"""The catch-up walk in backtests: the Terminal's CPU time over whole runs,
with stops it must watch and without, for one or more Terminal programs
taken in turn (to compare two builds under the same load).

    python bench/walk.py [--terminal PATH ...] [--rounds 3]

Cases: the README's backtest (a year of EURUSD H1, a buy with a stop loss
50 pips away, closed on the opposite crossing); a month of M1 bars doing
nothing (the walk has nothing to read); and the same month holding a buy
with a stop loss and a take profit 50 pips away at every step (a new one
when one closes). Each row gives the medians of the rounds: the wall time,
the Terminal's CPU time (user + system, read when it has exited), the
equity steps and a digest of deals, orders and equity, which must be the
same for every program. The Terminal's folder is /dev/shm where there is
one (the trading store's syncs are then not the disk's).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import resource
import statistics
import sys
import time
from typing import Any, Callable

from common import terminal_binary

import quorvane as qv
from quorvane import backtest, trade

OnBar = Callable[[str, Any], None]


def readme(symbol: str, bars: Any) -> None:
    fast, slow = bars["close"][-10:].mean(), bars["close"][-30:].mean()
    held = qv.positions_get(symbol=symbol)
    if fast > slow and not held:
        trade.buy(symbol, 0.1, sl=trade.round_price(symbol, bars["close"][-1] - 0.005))
    elif fast < slow and held:
        trade.close(held[0])


def idle(symbol: str, bars: Any) -> None:
    pass


def stops(symbol: str, bars: Any) -> None:
    if not qv.positions_get(symbol=symbol):
        close = bars["close"][-1]
        trade.buy(symbol, 0.1, sl=trade.round_price(symbol, close - 0.005),
                  tp=trade.round_price(symbol, close + 0.005))


CASES: dict[str, tuple[OnBar, int, str, str]] = {
    "README, H1 a year": (readme, qv.Timeframe.H1, "2025-01-06", "2026-01-05"),
    "M1 a month, idle": (idle, qv.Timeframe.M1, "2025-12-01", "2026-01-01"),
    "M1 a month, stops": (stops, qv.Timeframe.M1, "2025-12-01", "2026-01-01"),
}


def children_cpu() -> float:
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def run_once(binary: str, folder: str | None, case: str) -> tuple[float, float, int, str]:
    on_bar, timeframe, start, end = CASES[case]
    cpu = children_cpu()
    began = time.perf_counter()
    result = backtest.run(on_bar, "EURUSD", timeframe, start, end, lookback=31, terminal=binary, folder=folder)
    wall = time.perf_counter() - began
    digest = hashlib.sha256(repr((result.deals, result.orders)).encode() + result.equity.tobytes()).hexdigest()
    return wall, children_cpu() - cpu, len(result.equity), digest[:12]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--terminal", action="append", help="a Terminal program (default: the bundled one)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", help="where the Terminals run (default: /dev/shm if present)")
    args = parser.parse_args()
    binaries = [terminal_binary(p) for p in args.terminal or [None]]
    folder = args.folder or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    print(f"{'case':<20} {'program':<40} {'wall s':>7} {'Terminal CPU s':>15} {'steps':>7}  digest")
    for case in CASES:
        runs: dict[str, list[tuple[float, float, int, str]]] = {b: [] for b in binaries}
        for _ in range(args.rounds):
            for binary in binaries:  # in turn, so load swings weigh on all alike
                runs[binary].append(run_once(binary, folder, case))
        for binary, rows in runs.items():
            wall = statistics.median(r[0] for r in rows)
            cpu = statistics.median(r[1] for r in rows)
            digests = sorted({r[3] for r in rows})
            print(f"{case:<20} {binary[-40:]:<40} {wall:>7.2f} {cpu:>15.2f} {rows[0][2]:>7}  {' '.join(digests)}",
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
