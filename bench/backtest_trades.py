"""What a trade and a positions_get cost inside a backtest: the Terminal in
this process, as backtest.run starts it, on a stepped clock that stays put.

    python bench/backtest_trades.py [--rounds 2000] [--repeat 7] [--folder DIR] [--args "--store-memory"]

Not a test (it times things): run it by hand. Rows, each the fastest of
--repeat batches of --rounds, per call:

- a buy and its close through quorvane.trade (trade.buy, trade.close: the
  close reads the position afresh, so the pair is three calls);
- _core.order_send alone (a buy, then its close by ticket);
- _core.order_check of a buy;
- quorvane.positions_get(symbol=) and _core.positions_get(symbol=) with no
  position open and with one.

The Terminal's options are backtest.run's: --clock, --step and the store
options (--args, to compare).
"""

from __future__ import annotations

import argparse
import os
import shlex
import sys
import time
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "src"))

import quorvane as qv  # noqa: E402
from quorvane import _core, trade  # noqa: E402
from quorvane.backtest._inprocess import InProcessTerminal  # noqa: E402
from quorvane.backtest._terminal import settings  # noqa: E402

SYMBOL = "EURUSD"
CLOCK = "2025-12-03T10:00:00.000Z"


def fastest(batch: Callable[[], None], rounds: int, repeat: int, calls: int) -> float:
    """µs a call: the fastest of `repeat` batches of `rounds` rounds of `calls` calls."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(rounds):
            batch()
        best = min(best, time.perf_counter() - t0)
    return best / rounds / calls * 1e6


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--folder", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    parser.add_argument("--args", default="--store-memory", help="the store options (default backtest.run's)")
    opts = parser.parse_args()
    store = shlex.split(opts.args)
    args = ["--clock", CLOCK, "--step", *store]
    rows: list[tuple[str, float]] = []
    with InProcessTerminal(settings(1e9, "USD", 100, True), None, opts.folder) as private:
        private.start(args)
        assert _core.symbol_select(SYMBOL, True)
        buy = {"action": 1, "symbol": SYMBOL, "volume": 0.1, "type": 0}
        check = {"action": 1, "symbol": SYMBOL, "volume": 0.1, "type": 0, "price": 0.0}

        def pair_trade() -> None:
            sent = trade.buy(SYMBOL, 0.1, check=True)
            trade.close(sent.order, check=True)

        def pair_core() -> None:
            sent = _core.order_send(buy)
            _core.order_send({"action": 1, "position": sent.order, "symbol": SYMBOL, "volume": 0.1, "type": 1})

        rows.append(("trade.buy + trade.close, a pair", fastest(pair_trade, opts.rounds, opts.repeat, 1)))
        rows.append(("_core.order_send, a call (buy, close)", fastest(pair_core, opts.rounds, opts.repeat, 2)))
        rows.append(("_core.order_check, a buy", fastest(lambda: _core.order_check(check), opts.rounds,
                                                         opts.repeat, 1)))
        for held in (0, 1):
            if held:
                trade.buy(SYMBOL, 0.1, check=True)
            assert len(_core.positions_get(symbol=SYMBOL)) == held
            rows.append((f"qv.positions_get(symbol=), {held} open",
                         fastest(lambda: qv.positions_get(symbol=SYMBOL), opts.rounds * 5, opts.repeat, 1)))
            rows.append((f"_core.positions_get(symbol=), {held} open",
                         fastest(lambda: _core.positions_get(symbol=SYMBOL), opts.rounds * 5, opts.repeat, 1)))
    print(f"store options: {' '.join(store) or '(none)'}")
    print("| call | µs |\n|---|---:|")
    for name, us in rows:
        print(f"| {name} | {us:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
