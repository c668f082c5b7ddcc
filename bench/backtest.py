"""Backtest speed: bars a second of quorvane.backtest.run with the MA-crossover
strategy, next to the same loop doing only copy_rates_from_pos against a
free-running Terminal (what any bar loop costs anyway).

    python bench/backtest.py [--terminal PATH] [--folder DIR] [--year-m1] [--profile]

Rows: a year of H1 bars and a month of M1 bars of EURUSD (and with
--year-m1 a year of M1 bars, the target being under 60 s); the strategy
is the example's (examples/ma_crossover.py), fast 10 / slow 30. "loop" is a
plain loop of the same number of copy_rates_from_pos calls (the lookback's
31 bars, at the clock) against a Terminal whose clock moves on its own.
--profile prints where the driver's own Python time goes for the month of
M1 bars. The Terminal's folder defaults to /dev/shm where there is one (the
trading store's syncs are then not the disk's).
"""

from __future__ import annotations

import argparse
import cProfile
import importlib.util
import os
import pstats
import sys
import time
from pathlib import Path

from common import Terminal, terminal_binary

import quorvane as qv
from quorvane import _core, backtest

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("ma_crossover", HERE.parent / "examples" / "ma_crossover.py")
assert _spec is not None and _spec.loader is not None
example = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(example)

FAST, SLOW = 10, 30
CASES = {
    "H1, a year": (qv.Timeframe.H1, "2025-01-06", "2026-01-05"),
    "M1, a month": (qv.Timeframe.M1, "2025-12-01", "2026-01-01"),
    "M1, a year": (qv.Timeframe.M1, "2025-01-06", "2026-01-05"),
}


def backtest_once(binary: str, folder: str | None, timeframe: int, start: str, end: str) -> tuple[float, int, dict]:
    strategy = example.MaCrossover(FAST, SLOW, 0.1)
    began = time.perf_counter()
    result = backtest.run(strategy.on_bar, "EURUSD", timeframe, start, end, lookback=SLOW + 1, terminal=binary,
                          folder=folder)
    return time.perf_counter() - began, len(result.equity), result.stats


def plain_loop(binary: str, timeframe: int, calls: int) -> float:
    """Seconds of `calls` copy_rates_from_pos calls against a free-running Terminal."""
    with Terminal(binary, now=None, extra=["--clock", "2026-01-05T00:00:00Z", "--speed", "60"]) as terminal:
        if not _core.initialize(terminal.binary):
            raise SystemExit(f"initialize failed: {_core.last_error()}")
        try:
            copy = _core.copy_rates_from_pos
            copy("EURUSD", timeframe, 0, SLOW + 1)
            began = time.perf_counter()
            for _ in range(calls):
                copy("EURUSD", timeframe, 0, SLOW + 1)
            return time.perf_counter() - began
        finally:
            _core.shutdown()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--terminal", help="Terminal program (default: $QVN_TERMINAL64, else the bundled one)")
    parser.add_argument("--folder", help="where the backtest's Terminal runs (default: /dev/shm if present)")
    parser.add_argument("--year-m1", action="store_true", help="also a year of M1 bars (the 60 s target)")
    parser.add_argument("--profile", action="store_true", help="profile the month of M1 bars")
    args = parser.parse_args()
    binary = terminal_binary(args.terminal)
    folder = args.folder or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    cases = [c for c in CASES if args.year_m1 or c != "M1, a year"]
    print(f"{'case':<12} {'bars':>8} {'backtest s':>11} {'bars/s':>9} {'us/bar':>8} {'loop us/bar':>12} "
          f"{'ratio':>6}  trades")
    for name in cases:
        timeframe, start, end = CASES[name]
        seconds, steps, stats = backtest_once(binary, folder, timeframe, start, end)
        loop = plain_loop(binary, timeframe, steps)
        print(f"{name:<12} {steps:>8,} {seconds:>11.2f} {steps / seconds:>9,.0f} {seconds / steps * 1e6:>8.1f} "
              f"{loop / steps * 1e6:>12.1f} {seconds / loop:>6.1f}  {stats['trades']}", flush=True)
    if args.profile:
        timeframe, start, end = CASES["M1, a month"]
        profile = cProfile.Profile()
        profile.enable()
        backtest_once(binary, folder, timeframe, start, end)
        profile.disable()
        pstats.Stats(profile, stream=sys.stdout).sort_stats("tottime").print_stats(14)
    return 0


if __name__ == "__main__":
    sys.exit(main())
