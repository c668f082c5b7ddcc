"""How fast the bundled Terminal serves bar history, against the socket.

Not a test (it times things): run it by hand,

    python bench/terminal_bars.py [--terminal PATH] [--repeat N]
    python bench/terminal_bars.py --digest [--terminal PATH]

Everything runs pinned to one CPU (the machine is shared; the Terminal and
the stand-in inherit the pinning), and every figure is a median. It prints:

- a year of EURUSD M1 bars (copy_rates_range) from the Terminal, next to a
  stand-in server sending the very same reply bytes, built beforehand, over
  the same kind of socket; taken in turn, call by call. Goal: Terminal ÷
  socket ≥ 0.8.
- for each timeframe, a year of bars: the first request and the later
  ones, per symbol, after that symbol's M1 request (which makes its minute
  bars once). Goal: first ÷ later ≤ 2.

--digest prints a SHA-256 over the replies of many bar requests (ranges,
counts, positions, every timeframe, a few symbols) instead: equal digests
from two builds mean they serve the same bytes.
"""

from __future__ import annotations

import argparse
import hashlib
import multiprocessing
import os
import statistics
import struct
import sys
import tempfile
import time

import common as c
import positions

RATES_FROM, RATES_RANGE, RATES_FROM_POS = 106, 107, 108
YEAR = 365 * 86400
TIMEFRAMES = {"M1": 1, "M2": 2, "M3": 3, "M4": 4, "M5": 5, "M6": 6, "M10": 10, "M12": 12, "M15": 15, "M20": 20,
              "M30": 30, "H1": 60, "H2": 120, "H3": 180, "H4": 240, "H6": 360, "H8": 480, "H12": 720, "D1": 1440,
              "W1": 10080, "MN1": 43200}
SYMBOLS = ("EURUSD", "USDJPY", "EURGBP")
FIRST_SYMBOLS = ("EURUSD", "GBPUSD", "USDJPY", "USDCHF", "AUDUSD", "USDCAD", "NZDUSD")  # a first request each


def range_request(symbol: str, tf: int, from_s: int, to_s: int) -> bytes:
    return c.frame(RATES_RANGE, c.wide(symbol) + struct.pack("<iqq", tf, from_s, to_s))


def from_request(symbol: str, tf: int, date_s: int, count: int) -> bytes:
    return c.frame(RATES_FROM, c.wide(symbol) + struct.pack("<iqi", tf, date_s, count))


def pos_request(symbol: str, tf: int, start: int, count: int) -> bytes:
    return c.frame(RATES_FROM_POS, c.wide(symbol) + struct.pack("<iii", tf, start, count))


def digest_requests(now: int) -> list[bytes]:
    out = []
    for symbol in SYMBOLS:
        for tf in TIMEFRAMES.values():
            out += [range_request(symbol, tf, now - YEAR, now), range_request(symbol, tf, 1577836800, 1580515200),
                    range_request(symbol, tf, now - 3 * 86400 - 1234, now - 86400 + 77),
                    from_request(symbol, tf, now - 200 * 86400 + 555, 3000), from_request(symbol, tf, now, 1),
                    pos_request(symbol, tf, 0, 2500), pos_request(symbol, tf, 777, 40)]
            if tf >= 240:  # the whole history
                out += [pos_request(symbol, tf, 0, 10_000_000), range_request(symbol, tf, 0, 2**62)]
    return out


def digest(binary: str, now: int) -> None:
    with c.Terminal(binary, now) as terminal:
        client = c.PythonClient(terminal.endpoint)
        h = hashlib.sha256()
        for request in digest_requests(now):
            h.update(bytes(client.call(request)))
        # Again, now that everything is cached.
        for request in digest_requests(now):
            h.update(bytes(client.call(request)))
        client.close()
    print(h.hexdigest())


def timed(client: c.PythonClient, request: bytes, buffer: memoryview) -> float:
    t0 = time.perf_counter()
    client.fetch_into(request, buffer)
    return time.perf_counter() - t0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--terminal", help="Terminal binary (default: quorvane.terminal_path())")
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--digest", action="store_true", help="print a digest of many bar replies and stop")
    opts = parser.parse_args()
    binary = c.terminal_binary(opts.terminal)
    if opts.digest:
        digest(binary, c.NOW)
        return 0
    cpu, figures = measure(binary, opts.repeat)
    print(f"pinned to CPU {cpu}; medians of {opts.repeat} calls")
    print(f"a year of EURUSD M1: {figures['bars']:,} bars, {figures['mb']:.1f} MB; first call {figures['cold'] * 1e3:.1f} ms")
    print(f"  socket (stand-in, reply built beforehand): {figures['raw_rate']:.0f} MB/s")
    print(f"  Terminal: {figures['rate']:.0f} MB/s  ->  Terminal / socket = {figures['ratio']:.2f} (goal >= 0.8)")
    print(f"{'timeframe':<10} {'bars':>8} {'first ms':>9} {'later ms':>9} {'first/later':>12}")
    for name, bars, first, later in figures["timeframes"]:
        print(f"{name:<10} {bars:>8,} {first * 1e3:>9.2f} {later * 1e3:>9.2f} {first / later:>12.2f}")
    print(f"worst first / later: {figures['worst']:.2f} (goal <= 2)")
    return 0


def measure(binary: str, repeat: int) -> tuple[int, dict]:
    """The figures above, in one run, pinned to one CPU (restored after):
    (the CPU, {'ratio', 'worst', ...})."""
    allowed = os.sched_getaffinity(0)
    cpu = c.pin_to_one_cpu()  # the Terminal and the stand-in inherit it
    try:
        return cpu, measure_here(binary, repeat)
    finally:
        os.sched_setaffinity(0, allowed)


def measure_here(binary: str, repeat: int) -> dict:
    now = c.NOW
    out: dict = {}
    with c.Terminal(binary, now) as terminal:
        client = c.PythonClient(terminal.endpoint)
        try:
            request = range_request("EURUSD", 1, now - YEAR, now)
            t0 = time.perf_counter()
            answer = bytes(client.call(request))
            out["cold"] = time.perf_counter() - t0
            reply = struct.pack("<I", len(answer)) + answer
            out["bars"] = struct.unpack_from("<I", answer, 8)[0]
            out["mb"] = len(reply) / 1e6
            buffer = memoryview(bytearray(len(reply) + 64))
            folder = tempfile.mkdtemp(prefix="qvn-bars-")
            path = os.path.join(folder, "s")
            ready = multiprocessing.Event()
            stand_in = multiprocessing.Process(target=positions.serve, args=(path, reply, ready, RATES_RANGE), daemon=True)
            stand_in.start()
            ready.wait(10)
            raw = c.PythonClient(path)
            ours, theirs = [], []
            for _ in range(repeat):
                ours.append(timed(client, request, buffer))
                theirs.append(timed(raw, request, buffer))
            raw.close()
            stand_in.terminate()
            stand_in.join()
            out["rate"] = out["mb"] / statistics.median(ours)
            out["raw_rate"] = out["mb"] / statistics.median(theirs)
            out["ratio"] = out["rate"] / out["raw_rate"]

            # First and later requests per timeframe, per symbol (after its M1).
            firsts: dict[str, list[float]] = {name: [] for name in TIMEFRAMES}
            laters: dict[str, list[float]] = {name: [] for name in TIMEFRAMES}
            sizes: dict[str, int] = {}
            for symbol in FIRST_SYMBOLS:
                client.call(range_request(symbol, 1, now - YEAR, now))
                for name, tf in TIMEFRAMES.items():
                    request = range_request(symbol, tf, now - YEAR, now)
                    firsts[name].append(timed(client, request, buffer))
                    later = [timed(client, request, buffer) for _ in range(max(3, repeat // 3))]
                    laters[name].append(statistics.median(later))
                    sizes[name] = struct.unpack_from("<I", buffer, 8)[0]
            out["timeframes"] = [(name, sizes[name], statistics.median(firsts[name]), statistics.median(laters[name]))
                                 for name in TIMEFRAMES]
            out["worst"] = max(first / later for _, _, first, later in out["timeframes"])
        finally:
            client.close()
    return out


if __name__ == "__main__":
    sys.exit(main())
