"""The package's documented functions against the native ones they forward to.

``quorvane.f`` is a pass-through to ``quorvane._core.f`` that gives the
function a signature and documentation. This measures what that costs, in
one run, side by side: the cheapest calls that reach the Terminal
(``positions_total``, ``symbol_info_tick``) and ``last_error``, which never
leaves the process and so shows the pass-through's own cost plainly.
Client and Terminal are pinned to one CPU as in small_calls.py; each way is
reported by its fastest of many interleaved batches.

Goal: the pass-through's cost is at most 1 % of the cheapest round trip.

    python bench/wrappers.py [--calls 5000] [--rounds 21] [--cpu N]
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from history import Terminal  # noqa: E402
from small_calls import measure  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=5000, help="calls per batch")
    parser.add_argument("--rounds", type=int, default=21, help="batches per way, interleaved")
    parser.add_argument("--cpu", type=int, help="the CPU to pin client and Terminal to (default: the last allowed)")
    opts = parser.parse_args()

    import quorvane
    from quorvane import _core as core

    binary = os.environ.get("QVN_TERMINAL64") or quorvane.terminal_path()
    cpu = opts.cpu if opts.cpu is not None else max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})  # the Terminal started below inherits it

    terminal = Terminal(binary, "1768478400", [])
    rows = []
    try:
        if not core.initialize(binary):
            print(f"initialize failed: {core.last_error()}", file=sys.stderr)
            return 1
        cases = [
            ("positions_total", (), core.positions_total, quorvane.positions_total),
            ("symbol_info_tick", ("EURUSD",), core.symbol_info_tick, quorvane.symbol_info_tick),
            ("last_error", (), core.last_error, quorvane.last_error),
        ]
        for name, args, native, wrapper in cases:
            assert wrapper(*args) == native(*args)
            times = measure({"native": lambda: native(*args), "package": lambda: wrapper(*args)},
                            opts.calls, opts.rounds)
            rows.append((name, times))
        core.shutdown()
    finally:
        terminal.close()

    print()
    print(f"fastest of {opts.rounds} batches of {opts.calls} calls; client and Terminal pinned to CPU {cpu}")
    header = f"{'call':<17} {'native us':>10} {'package us':>11} {'added ns':>9} {'added %':>8}"
    print(header)
    print("-" * len(header))
    for name, t in rows:
        added = t["package"] - t["native"]
        print(f"{name:<17} {t['native']:>10.3f} {t['package']:>11.3f} {added * 1000:>9.0f} "
              f"{100 * added / t['native']:>8.2f}")
    # The pass-through's own cost is what it adds to last_error, which does no
    # I/O; the round trips vary by more than that cost from batch to batch
    # on a busy machine, so their own difference is shown but not judged.
    times = dict(rows)
    added = times["last_error"]["package"] - times["last_error"]["native"]
    cheapest = min(t["native"] for n, t in rows if n != "last_error")
    share = 100 * added / cheapest
    print()
    print(f"pass-through cost {added * 1000:.0f} ns = {share:.2f} % of the cheapest round trip "
          f"({cheapest:.2f} us); goal at most 1 %:", "met" if share <= 1 else "NOT met")
    return 0 if share <= 1 else 1

if __name__ == "__main__":
    sys.exit(main())
