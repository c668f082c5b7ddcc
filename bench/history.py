"""Tick history throughput and memory: the module against a raw socket.

Starts the bundled Terminal in a private temporary folder with its clock
fixed, then for each size times ``copy_ticks_range`` next to a raw-socket
baseline that sends the same request bytes and reads the same number of
bytes with ``recv_into`` into a buffer allocated beforehand. Both read from
the same Terminal in the same run, so the Terminal's own cost is in both.

Goals: module throughput at least 0.9 of the raw socket's, and the module
call's peak traced memory at most 1.1 times the array it returns. tracemalloc
sees the interpreter's allocations and NumPy's data allocations (which NumPy
reports to it), so the peak counts the array and anything made beside it.

Repeated downloads (--calls, Linux): the largest size read --calls times in
turns with the raw socket reading into one buffer it reuses, each array
dropped before the next call. Goals: from the 2nd call on, the module's
median time at most 1/0.9 of the raw socket's; the process's peak resident
memory over all calls at most 1.05 × the array above where it started; and
the resident memory after the last call no higher than after the 2nd.
--huge N reads N ticks in one call (at most 71.5 M, see the README) and
reports its peak resident memory against the array.

    python bench/history.py [--sizes 1000000 10000000] [--repeat 3] [--calls 20] [--huge 100000000]
"""

from __future__ import annotations

import argparse
import datetime as dt
import gc
import os
import statistics
import struct
import sys
import time
import tracemalloc

import common as c

RECORD = 60
TICKS_RANGE = 105


def range_request(symbol: str, from_s: int, to_s: int, flags: int) -> bytes:
    return c.frame(TICKS_RANGE, c.wide(symbol) + struct.pack("<qqi", from_s * 1000, to_s * 1000, flags))


# ---- measurements ----------------------------------------------------------------


def find_range(core, symbol: str, start: int, count: int, flags: int) -> tuple[int, int, int]:
    """Seconds [from, to] holding about `count` ticks, from the ticks themselves."""
    ticks = core.copy_ticks_from(symbol, start, count, flags)
    if ticks is None or len(ticks) == 0:
        raise SystemExit(f"copy_ticks_from failed: {core.last_error()}")
    first = int(ticks["time_msc"][0]) // 1000
    last = int(ticks["time_msc"][-1]) // 1000
    return first, last, len(ticks)


def time_module(core, args: tuple, repeat: int) -> tuple[float, int]:
    best, size = float("inf"), 0
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        ticks = core.copy_ticks_range(*args)
        elapsed = time.perf_counter() - t0
        if ticks is None:
            raise SystemExit(f"copy_ticks_range failed: {core.last_error()}")
        size = ticks.nbytes
        del ticks
        best = min(best, elapsed)
    return best, size


def time_raw(raw: c.PythonClient, request: bytes, buffer: memoryview, repeat: int) -> tuple[float, int]:
    best, size = float("inf"), 0
    for _ in range(repeat):
        t0 = time.perf_counter()
        length = raw.fetch_into(request, buffer)
        elapsed = time.perf_counter() - t0
        size = length - 12  # echo, result, count
        best = min(best, elapsed)
    return best, size


def peak_of_module_call(core, args: tuple) -> tuple[int, int]:
    """(peak traced bytes above the start, array bytes) of one call."""
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base, _ = tracemalloc.get_traced_memory()
        ticks = core.copy_ticks_range(*args)
        _, peak = tracemalloc.get_traced_memory()
        nbytes = ticks.nbytes
        del ticks
    finally:
        tracemalloc.stop()
    return peak - base, nbytes


def resident() -> tuple[int, int]:
    """(resident bytes now, peak resident bytes since reset_peak())."""
    fields = dict(line.split(":", 1) for line in open("/proc/self/status"))
    return int(fields["VmRSS"].split()[0]) << 10, int(fields["VmHWM"].split()[0]) << 10


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident memory starts again from the current


def repeated(core, binary: str, raw: c.PythonClient, request: bytes, args: tuple, calls: int) -> dict:
    """Module and raw socket in turns, `calls` times each (see the module's doc)."""
    ticks = core.copy_ticks_range(*args)
    buffer = memoryview(bytearray(ticks.nbytes + 64))
    raw.fetch_into(request, buffer)  # touches the raw buffer once, for good
    nbytes = ticks.nbytes
    del ticks
    core.shutdown()  # gives back what the warm-up call left idle
    c.connect_module(core, binary)
    gc.collect()
    reset_peak()
    start, _ = resident()
    module_s, raw_s, after = [], [], []
    for _ in range(calls):
        t0 = time.perf_counter()
        ticks = core.copy_ticks_range(*args)
        module_s.append(time.perf_counter() - t0)
        if ticks is None or ticks.nbytes != nbytes:
            raise SystemExit(f"copy_ticks_range failed: {core.last_error()}")
        del ticks
        after.append(resident()[0])
        t0 = time.perf_counter()
        raw.fetch_into(request, buffer)
        raw_s.append(time.perf_counter() - t0)
    _, peak = resident()
    return {"ticks": nbytes // RECORD, "nbytes": nbytes, "module": statistics.median(module_s[1:]),
            "raw": statistics.median(raw_s[1:]), "first": module_s[0], "peak": peak - start,
            "growth": after[-1] - after[1], "calls": calls}


def huge(core, symbol: str, start: int, count: int, flags: int) -> tuple[int, int, float]:
    """(array bytes, peak resident bytes above the start, seconds) of one call of `count` ticks."""
    gc.collect()
    reset_peak()
    before, _ = resident()
    t0 = time.perf_counter()
    ticks = core.copy_ticks_from(symbol, start, count, flags)
    elapsed = time.perf_counter() - t0
    if ticks is None:
        raise SystemExit(f"copy_ticks_from of {count} failed: {core.last_error()}")
    _, peak = resident()
    return ticks.nbytes, peak - before, elapsed


def print_repeated(r: dict) -> bool:
    ratio = r["raw"] / r["module"]
    memory = r["peak"] / r["nbytes"]
    print(f"repeated copy_ticks_range of {r['ticks']:,} ticks, {r['calls']} calls in turns with the raw socket "
          f"(medians from the 2nd call): raw {r['raw'] * 1e3:.0f} ms, module {r['module'] * 1e3:.0f} ms "
          f"(1st call {r['first'] * 1e3:.0f} ms), ratio {ratio:.3f}; peak resident {r['peak'] / 1e6:.0f} MB "
          f"= {memory:.3f} × the array; resident growth from the 2nd to the last call {r['growth'] / 1e6:+.1f} MB")
    return ratio >= 0.9 and memory <= 1.05 and r["growth"] <= 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000_000, 10_000_000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--calls", type=int, default=20, help="repeated calls of the largest size (0: none)")
    parser.add_argument("--huge", type=int, default=0, help="ticks read in one call at the end (0: none)")
    parser.add_argument("--symbol", default="EURUSD")
    parser.add_argument("--now", type=int, default=1_768_478_400,
                        help="the Terminal's fixed clock, POSIX seconds (default 2026-01-15 12:00 UTC)")
    parser.add_argument("--since-days", type=int, default=365, help="how far before --now history is read")
    parser.add_argument("--terminal", help="Terminal binary (default: quorvane.terminal_path())")
    parser.add_argument("terminal_args", nargs="*", help="further arguments for the Terminal (after --)")
    opts = parser.parse_args()

    import quorvane
    from quorvane import _core as core

    binary = c.terminal_binary(opts.terminal)
    if not os.path.exists(binary):
        print(f"no Terminal binary at {binary}", file=sys.stderr)
        return 2
    flags = quorvane.CopyTicks.ALL
    start = opts.now - opts.since_days * 86400

    raw = None
    with c.Terminal(binary, opts.now, opts.terminal_args) as terminal:
        c.connect_module(core, binary)
        try:
            raw = c.PythonClient(terminal.endpoint)
            rows = []
            for size in opts.sizes:
                first, last, found = find_range(core, opts.symbol, start, size, flags)
                args = (opts.symbol, first, last, flags)
                request = range_request(*args)
                core.copy_ticks_range(*args)  # warm the Terminal's caches for both sides
                module_s, module_bytes = time_module(core, args, opts.repeat)
                buffer = memoryview(bytearray(module_bytes + 64))
                raw_s, raw_bytes = time_raw(raw, request, buffer, opts.repeat)
                if raw_bytes != module_bytes:
                    raise SystemExit(f"raw reply holds {raw_bytes} record bytes, the array {module_bytes}")
                peak, nbytes = peak_of_module_call(core, args)
                rows.append((module_bytes // RECORD, raw_bytes / raw_s, module_bytes / module_s, nbytes, peak))
                del buffer
            again = repeated(core, binary, raw, request, args, opts.calls) if opts.calls > 1 else None
            big = huge(core, opts.symbol, start, opts.huge, flags) if opts.huge else None
        finally:
            core.shutdown()
            if raw is not None:
                raw.close()

    mb = 1e6
    print()
    clock = dt.datetime.fromtimestamp(opts.now, dt.timezone.utc)
    print(f"copy_ticks_range, {opts.symbol}, best of {opts.repeat}; Terminal clock {clock:%Y-%m-%d %H:%M} UTC")
    header = f"{'ticks':>11} {'raw MB/s':>10} {'module MB/s':>12} {'ratio':>7} {'array MB':>9} {'peak MB':>8} {'peak/array':>11}"
    print(header)
    print("-" * len(header))
    ok = True
    for ticks, raw_rate, module_rate, nbytes, peak in rows:
        ratio = module_rate / raw_rate
        memory = peak / nbytes if nbytes else float("nan")
        ok = ok and ratio >= 0.9 and memory <= 1.1
        print(f"{ticks:>11,} {raw_rate / mb:>10.0f} {module_rate / mb:>12.0f} {ratio:>7.3f} "
              f"{nbytes / mb:>9.1f} {peak / mb:>8.1f} {memory:>11.3f}")
    print()
    print("goals: ratio >= 0.9, peak/array <= 1.1:", "met" if ok else "NOT met")
    if again is not None:
        met = print_repeated(again)
        ok = ok and met
        print("goals: ratio >= 0.9, peak <= 1.05 × array, no growth:", "met" if met else "NOT met")
    if big is not None:
        nbytes, peak, seconds = big
        print(f"one call of {nbytes // RECORD:,} ticks: array {nbytes / 1e9:.2f} GB in {seconds:.1f} s, "
              f"peak resident {peak / 1e9:.2f} GB = {peak / nbytes:.3f} × the array")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
