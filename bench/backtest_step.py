"""The backtest driver's own cost per step: quorvane.backtest.run with a
strategy that does nothing, timing only the stepping loop (the private
Terminal's start and the history read after it left out).

    python bench/backtest_step.py [--terminal PATH] [--folder DIR] [--lookback N ...] [--runs N]

Rows: a month of EURUSD M1 bars (2025-12-01 to 2026-01-01, 32 640 steps)
for each lookback (default 100 and 50 000); the best of --runs runs. What
a step costs here is what the framework adds to every bar of any strategy.
The Terminal's folder defaults to /dev/shm where there is one.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

from common import terminal_binary

import quorvane as qv
from quorvane import backtest
from quorvane.backtest import _run


def timed_run(binary: str, folder: str | None, lookback: int) -> tuple[float, int, int]:
    """(seconds in the driver, steps, on_bar calls) of one run."""
    calls = 0
    spent = 0.0

    def on_bar(symbol: str, bars: object) -> None:
        nonlocal calls
        calls += 1

    drive = _run.drive

    def timed(*args: object, **kwargs: object) -> object:
        nonlocal spent
        began = time.perf_counter()
        try:
            return drive(*args, **kwargs)  # type: ignore[arg-type]
        finally:
            spent = time.perf_counter() - began

    _run.drive = timed  # type: ignore[assignment]
    try:
        result = backtest.run(on_bar, "EURUSD", qv.Timeframe.M1, "2025-12-01", "2026-01-01", lookback=lookback,
                              terminal=binary, folder=folder)
    finally:
        _run.drive = drive
    return spent, len(result.equity), calls


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--terminal", help="Terminal program (default: $QVN_TERMINAL64, else the bundled one)")
    parser.add_argument("--folder", help="where the backtest's Terminal runs (default: /dev/shm if present)")
    parser.add_argument("--lookback", type=int, nargs="+", default=[100, 50_000])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    binary = terminal_binary(args.terminal)
    folder = args.folder or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    print(f"{'lookback':>9} {'steps':>7} {'calls':>7} {'driver s':>9} {'us/step':>8}")
    for lookback in args.lookback:
        best = min(timed_run(binary, folder, lookback) for _ in range(args.runs))
        seconds, steps, calls = best
        print(f"{lookback:>9,} {steps:>7,} {calls:>7,} {seconds:>9.2f} {seconds / steps * 1e6:>8.1f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
