"""Saves a symbol's latest bars and ticks as Parquet files.

Connects to the Terminal (starting the bundled one unless --terminal names
another), takes the latest bars of one timeframe and the ticks from the
start of the newest bar, turns them into data frames with UTC datetime
columns (quorvane.frames) and writes one Parquet file each:

    python examples/history_to_parquet.py [--symbol EURUSD] [--timeframe H1]
        [--bars 500] [--ticks 10000] [--out DIR] [--engine auto|pandas|polars]

Needs pandas with pyarrow, or polars (`pip install quorvane[frames]`).
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
from pathlib import Path
from typing import Any

import quorvane as qv
from quorvane import frames


def available(*modules: str) -> bool:
    return all(importlib.util.find_spec(m) is not None for m in modules)


def choose_engine(wanted: str) -> str | None:
    """The library that writes the files: pandas (with pyarrow) first, as
    the more common one, else polars."""
    if wanted == "pandas":
        return "pandas" if available("pandas", "pyarrow") else None
    if wanted == "polars":
        return "polars" if available("polars") else None
    if available("pandas", "pyarrow"):
        return "pandas"
    return "polars" if available("polars") else None


def write(data: Any, path: Path, engine: str) -> int:
    """Writes one array as Parquet; returns the number of rows written."""
    if engine == "pandas":
        frames.to_pandas(data).to_parquet(path, index=False)
    else:
        frames.to_polars(data).write_parquet(path)
    return len(data)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--terminal", default=qv.terminal_path(), help="Terminal executable (default: the bundled one)")
    parser.add_argument("--symbol", default="EURUSD")
    parser.add_argument("--timeframe", default="H1", choices=[t.name for t in qv.Timeframe])
    parser.add_argument("--bars", type=int, default=500, help="number of latest bars (default 500)")
    parser.add_argument("--ticks", type=int, default=10_000, help="at most this many ticks (default 10000)")
    parser.add_argument("--out", type=Path, default=Path("."), help="folder for the files (default: here)")
    parser.add_argument("--engine", default="auto", choices=["auto", "pandas", "polars"])
    args = parser.parse_args(argv)

    engine = choose_engine(args.engine)
    if engine is None:
        print("history_to_parquet needs pandas with pyarrow, or polars: pip install pandas pyarrow",
              file=sys.stderr)
        return 2
    if not qv.initialize(args.terminal):
        print("initialize() failed:", qv.last_error(), file=sys.stderr)
        return 1
    try:
        timeframe = qv.Timeframe[args.timeframe]
        bars = qv.copy_rates_from_pos(args.symbol, timeframe, 0, args.bars)
        if bars is None or len(bars) == 0:
            print(f"no {args.timeframe} bars of {args.symbol}:", qv.last_error(), file=sys.stderr)
            return 1
        newest = int(bars["time"][-1])
        ticks = qv.copy_ticks_from(args.symbol, newest, args.ticks, qv.CopyTicks.ALL)
        if ticks is None:
            print(f"no ticks of {args.symbol}:", qv.last_error(), file=sys.stderr)
            return 1

        args.out.mkdir(parents=True, exist_ok=True)
        bar_file = args.out / f"{args.symbol}_{args.timeframe}.parquet"
        tick_file = args.out / f"{args.symbol}_ticks.parquet"
        print(f"{write(bars, bar_file, engine)} bars -> {bar_file} ({bar_file.stat().st_size} bytes, {engine})")
        print(f"{write(ticks, tick_file, engine)} ticks -> {tick_file} ({tick_file.stat().st_size} bytes, {engine})")
        return 0
    finally:
        qv.shutdown()


if __name__ == "__main__":
    sys.exit(main())
