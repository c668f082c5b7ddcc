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
- an H1 lookback of 50 000 bars on a stepped clock, as a backtest asks for
  it: a step (the clock moved an hour by command 900, then
  copy_rates_from_pos through the module) next to a step with a lookback
  of 100, taken in turn on one Terminal whose history starts in 2013; and
  the 50 000 bars' reply (3 MB) next to a stand-in sending the same bytes.
  Goal: step ÷ step with a lookback of 100 ≤ 2. The same, step by step
  inside quorvane.backtest.run with the MA-crossover example (time between
  two of its on_bar calls: the clock step, the bars, account_info and the
  strategy's own calls), three weeks of H1 bars, runs of each lookback in
  turn.
- D1 bars from 2020 to now on the wall clock (copy_rates_range), the second
  and later calls, next to a stand-in sending the same reply bytes. Goal:
  Terminal ÷ socket ≤ 2.

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

HERE = os.path.dirname(os.path.abspath(__file__))

RATES_FROM, RATES_RANGE, RATES_FROM_POS = 106, 107, 108
YEAR = 365 * 86400
H1, D1 = 60, 1440
SINCE_2020 = 1577836800
LONG_LOOKBACK, SHORT_LOOKBACK = 50_000, 100
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
    figures |= measure_long(binary, opts.repeat)
    print(f"pinned to CPU {cpu}; medians of {opts.repeat} calls")
    print(f"a year of EURUSD M1: {figures['bars']:,} bars, {figures['mb']:.1f} MB; first call {figures['cold'] * 1e3:.1f} ms")
    print(f"  socket (stand-in, reply built beforehand): {figures['raw_rate']:.0f} MB/s")
    print(f"  Terminal: {figures['rate']:.0f} MB/s  ->  Terminal / socket = {figures['ratio']:.2f} (goal >= 0.8)")
    print(f"{'timeframe':<10} {'bars':>8} {'first ms':>9} {'later ms':>9} {'first/later':>12}")
    for name, bars, first, later in figures["timeframes"]:
        print(f"{name:<10} {bars:>8,} {first * 1e3:>9.2f} {later * 1e3:>9.2f} {first / later:>12.2f}")
    print(f"worst first / later: {figures['worst']:.2f} (goal <= 2)")
    steps = figures["steps"]
    print(f"H1 lookback on a stepped clock (history from 2013), medians of {steps['steps']} steps each; "
          f"first {LONG_LOOKBACK:,}-bar call {steps['first']:.2f} s")
    print(f"  step with a lookback of {SHORT_LOOKBACK}: {steps['short'] * 1e3:.3f} ms; of {LONG_LOOKBACK:,} "
          f"({steps['mb']:.1f} MB): {steps['long'] * 1e3:.3f} ms  ->  ratio {steps['ratio']:.2f} (goal <= 2)")
    print(f"  its reply alone: Terminal {steps['reply'] * 1e3:.3f} ms, stand-in sending the same bytes "
          f"{steps['wire'] * 1e3:.3f} ms  ->  {steps['reply'] / steps['wire']:.2f}; the step's excess over the "
          f"short one = {(steps['long'] - steps['short']) / steps['wire']:.2f} x the wire time of its bytes")
    runs = figures["backtest"]
    print(f"  inside backtest.run with the MA-crossover example ({runs['steps']} steps a run): lookback "
          f"{SHORT_LOOKBACK}: {runs['short'] * 1e3:.3f} ms a step; {LONG_LOOKBACK:,}: {runs['long'] * 1e3:.3f} ms  ->  "
          f"ratio {runs['ratio']:.2f} (goal <= 2)")
    d1 = figures["d1"]
    print(f"D1 from 2020 to now, wall clock: {d1['bars']:,} bars ({d1['kb']:.0f} KB), first call {d1['first']:.2f} s; "
          f"later calls: Terminal {d1['ours'] * 1e6:.0f} us, stand-in {d1['theirs'] * 1e6:.0f} us  ->  "
          f"{d1['ratio']:.2f} (goal <= 2)")
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


def measure_long(binary: str, repeat: int) -> dict:
    """The long-history figures (an H1 lookback of LONG_LOOKBACK bars, D1
    since 2020 on the wall clock), pinned to one CPU as above:
    {'steps', 'backtest', 'd1'}."""
    allowed = os.sched_getaffinity(0)
    c.pin_to_one_cpu()
    try:
        return {"steps": measure_steps(binary, repeat), "backtest": measure_backtest_steps(binary),
                "d1": measure_wall_d1(binary, repeat)}
    finally:
        os.sched_setaffinity(0, allowed)


class StandIn:
    """A stand-in Terminal answering `command` with `reply` (the frame with
    its length field), over the same kind of socket."""

    def __init__(self, reply: bytes, command: int):
        path = os.path.join(tempfile.mkdtemp(prefix="qvn-bars-"), "s")
        ready = multiprocessing.Event()
        self.process = multiprocessing.Process(target=positions.serve, args=(path, reply, ready, command), daemon=True)
        self.process.start()
        ready.wait(10)
        self.client = c.PythonClient(path)

    def close(self) -> None:
        self.client.close()
        self.process.terminate()
        self.process.join()


def against_stand_in(client: c.PythonClient, request: bytes, command: int, repeat: int) -> tuple[float, float, int]:
    """(Terminal's s, stand-in's s, reply bytes): medians of `repeat` calls
    each, in turn, the stand-in sending the Terminal's reply as it came."""
    answer = bytes(client.call(request))
    reply = struct.pack("<I", len(answer)) + answer
    buffer = memoryview(bytearray(len(reply) + 64))
    stand_in = StandIn(reply, command)
    try:
        ours, theirs = [], []
        for _ in range(repeat):
            ours.append(timed(client, request, buffer))
            theirs.append(timed(stand_in.client, request, buffer))
    finally:
        stand_in.close()
    return statistics.median(ours), statistics.median(theirs), len(reply)


def measure_steps(binary: str, repeat: int) -> dict:
    """An H1 lookback of LONG_LOOKBACK bars against one of SHORT_LOOKBACK,
    step by step on one stepped Terminal, as the backtester drives it."""
    from quorvane import _core
    from quorvane.backtest._clock import Clock

    start = "2025-06-02T00:00:00Z"  # a Monday
    out: dict = {}
    with c.Terminal(binary, None, ["--clock", start, "--step", "--history-start", "2013-01-01"]) as terminal:
        if not _core.initialize(terminal.binary):
            raise SystemExit(f"initialize failed: {_core.last_error()}")
        clock = Clock(terminal.endpoint, ["EURUSD"])
        try:
            copy = _core.copy_rates_from_pos
            now, _ = clock.step(0)
            t0 = time.perf_counter()
            copy("EURUSD", H1, 0, LONG_LOOKBACK)  # makes the kept bars of its eight years
            out["first"] = time.perf_counter() - t0
            times: dict[int, list[float]] = {SHORT_LOOKBACK: [], LONG_LOOKBACK: []}
            out["steps"] = max(40, 8 * repeat)
            for _ in range(out["steps"]):
                for lookback in times:
                    now += 3_600_000
                    t0 = time.perf_counter()
                    clock.step(now - 1)
                    rates = copy("EURUSD", H1, 0, lookback)
                    times[lookback].append(time.perf_counter() - t0)
                    if len(rates) != lookback:
                        raise SystemExit(f"copy_rates_from_pos gave {len(rates)} bars, not {lookback}")
            out["short"] = statistics.median(times[SHORT_LOOKBACK])
            out["long"] = statistics.median(times[LONG_LOOKBACK])
            out["ratio"] = out["long"] / out["short"]
            client = c.PythonClient(terminal.endpoint)
            try:
                out["reply"], out["wire"], size = against_stand_in(
                    client, pos_request("EURUSD", H1, 0, LONG_LOOKBACK), RATES_FROM_POS, max(repeat, 15) * 4)
            finally:
                client.close()
            out["mb"] = size / 1e6
        finally:
            clock.close()
            _core.shutdown()
    return out


def measure_backtest_steps(binary: str, runs: int = 2) -> dict:
    """Median times between two on_bar calls of quorvane.backtest.run with
    the MA-crossover example, for each lookback, `runs` runs of each in turn
    (the first step of a run, which makes its kept bars, left out)."""
    import importlib.util

    import quorvane as qv
    from quorvane import backtest

    module_spec = importlib.util.spec_from_file_location("ma_crossover",
                                                         os.path.join(HERE, "..", "examples", "ma_crossover.py"))
    assert module_spec is not None and module_spec.loader is not None
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    folder = "/dev/shm" if os.path.isdir("/dev/shm") else None
    gaps: dict[int, list[float]] = {SHORT_LOOKBACK: [], LONG_LOOKBACK: []}
    for _ in range(runs):
        for lookback in gaps:
            strategy = example.MaCrossover(10, 30, 0.1)
            stamps: list[float] = []

            def on_bar(symbol, bars, strategy=strategy, stamps=stamps):
                stamps.append(time.perf_counter())
                strategy.on_bar(symbol, bars)

            backtest.run(on_bar, "EURUSD", qv.Timeframe.H1, "2025-06-02", "2025-06-23", lookback=lookback,
                         terminal=binary, folder=folder)
            gaps[lookback] += [b - a for a, b in zip(stamps[1:], stamps[2:])]
    out = {"steps": len(gaps[SHORT_LOOKBACK]) // runs, "short": statistics.median(gaps[SHORT_LOOKBACK]),
           "long": statistics.median(gaps[LONG_LOOKBACK])}
    out["ratio"] = out["long"] / out["short"]
    return out


def measure_wall_d1(binary: str, repeat: int) -> dict:
    """D1 bars from 2020 to now on the wall clock against the socket."""
    out: dict = {}
    with c.Terminal(binary, None) as terminal:
        client = c.PythonClient(terminal.endpoint)
        try:
            request = range_request("EURUSD", D1, SINCE_2020, int(time.time()))
            t0 = time.perf_counter()
            answer = client.call(request)
            out["first"] = time.perf_counter() - t0
            out["bars"] = struct.unpack_from("<I", answer, 8)[0]
            out["ours"], out["theirs"], size = against_stand_in(client, request, RATES_RANGE, max(repeat, 15) * 4)
            out["kb"] = size / 1e3
            out["ratio"] = out["ours"] / out["theirs"]
        finally:
            client.close()
    return out


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
