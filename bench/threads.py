"""Other threads while the module waits: before (interpreter lock held
through every wait) and after (let go while waiting), in one run.

Two child interpreters do the same work side by side: "before" runs the
installed module with QVN_TEST_HOLD_GIL=1 (a test build then keeps the
interpreter lock through every wait, as the module used to), "after" runs it
as shipped. With --baseline PYTHON a third child runs another interpreter
(e.g. a venv with the main branch's wheel) as a second "before".

Measured in each child, for a download of --ticks ticks (copy_ticks_from)
and for a Terminal start (initialize() of a Terminal that is not running,
which starts it and waits until it is ready):

- thread: the longest wait of a background thread that wakes every
  millisecond, while the call runs on the main thread;
- loop: the longest lag of an asyncio event loop that wakes every
  millisecond, while the call runs on a worker thread (as quorvane.aio does).

Then the single-thread latency of a small call (symbol_info_tick), every
child and the Terminal pinned to one CPU, batches interleaved between the
children; each is reported by its fastest batch.

Each wait is reported by its median and worst run: the worst also holds
what the machine's other work did to the measuring thread, which the last
rows show on their own (the same measurement while nothing is called). Target: both
waits <= 20 ms after; the small call no slower than before.

    python bench/threads.py [--ticks 10000000] [--repeat 3] [--calls 2000] [--rounds 15]
                            [--baseline PYTHON] [--cpu N]
"""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import common as c

TICK_START = c.NOW - 330 * 86400  # EURUSD holds about a million ticks a month


# ---- the child: does what the parent asks, one JSON line per request ------------------


class Ticker:
    """A thread waking every millisecond; `longest` is its longest wait (ms)."""

    def __init__(self) -> None:
        self.running = True
        self.longest = 0.0
        self.wakes = 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        last = time.perf_counter()
        while self.running:
            time.sleep(0.001)
            now = time.perf_counter()
            self.longest = max(self.longest, (now - last) * 1e3)
            self.wakes += 1
            last = now

    def stop(self) -> float:
        self.running = False
        self.thread.join()
        return self.longest


# `call` returns (ok, what it made); what it made is dropped only after the
# measurement, so that freeing a large array is not counted as the call's.


def thread_wait(call) -> dict:
    ticker = Ticker()
    time.sleep(0.05)
    t0 = time.perf_counter()
    ok, made = call()
    took = time.perf_counter() - t0
    longest = ticker.stop()
    del made
    return {"ok": ok, "call_ms": took * 1e3, "longest_ms": longest}


def loop_lag(call) -> dict:
    async def run() -> dict:
        loop = asyncio.get_running_loop()
        longest = 0.0
        done = False

        async def tick() -> None:
            nonlocal longest
            while not done:
                t = loop.time()
                await asyncio.sleep(0.001)
                longest = max(longest, (loop.time() - t - 0.001) * 1e3)

        ticker = asyncio.ensure_future(tick())
        await asyncio.sleep(0.05)
        with concurrent.futures.ThreadPoolExecutor(1) as worker:
            t0 = time.perf_counter()
            ok, made = await loop.run_in_executor(worker, call)
            took = time.perf_counter() - t0
        done = True
        await ticker
        del made
        return {"ok": ok, "call_ms": took * 1e3, "longest_ms": longest}

    return asyncio.run(run())


def child() -> None:
    from quorvane import _core as core

    for line in sys.stdin:
        request = json.loads(line)
        what = request["what"]
        if what == "download":
            core.initialize(request["exe"])
            count = request["ticks"]

            def call() -> tuple:
                ticks = core.copy_ticks_from("EURUSD", TICK_START, count, 3)
                return ticks is not None and len(ticks) == count, ticks

            answer = thread_wait(call) if request["how"] == "thread" else loop_lag(call)
            core.shutdown()
        elif what == "start":
            exe = request["exe"]
            call = lambda: (bool(core.initialize(exe)), None)  # noqa: E731
            answer = thread_wait(call) if request["how"] == "thread" else loop_lag(call)
            answer["error"] = core.last_error()
            core.shutdown()
        elif what == "idle":
            seconds = request["seconds"]
            call = lambda: (time.sleep(seconds) is None, None)  # noqa: E731
            answer = thread_wait(call) if request["how"] == "thread" else loop_lag(call)
        elif what == "connect":
            answer = {"ok": bool(core.initialize(request["exe"])), "error": core.last_error()}
        elif what == "batch":
            answer = {"us": c.batch_us(lambda: core.symbol_info_tick("EURUSD"), request["calls"])}
        else:
            answer = {"error": f"unknown request {what}"}
        print(json.dumps(answer), flush=True)


# ---- the parent ----------------------------------------------------------------------


class Child:
    def __init__(self, name: str, python: str, hold: bool) -> None:
        env = dict(os.environ)
        env.pop("QVN_TEST_HOLD_GIL", None)
        if hold:
            env["QVN_TEST_HOLD_GIL"] = "1"
        self.name = name
        self.process = subprocess.Popen([python, __file__, "--child"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env, cwd=Path(__file__).parent)

    def ask(self, **request) -> dict:
        assert self.process.stdin and self.process.stdout
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise SystemExit(f"the {self.name} child ended")
        return json.loads(line)

    def close(self) -> None:
        if self.process.stdin:
            self.process.stdin.close()
        self.process.wait(30)


def children(opts, python: str) -> list[Child]:
    made = [Child("before", python, True), Child("after", python, False)]
    if opts.baseline:
        made.insert(1, Child("baseline", opts.baseline, False))
    return made


def stop_started(exe: Path) -> None:
    """Stops the Terminal a child started at `exe` (through its pid file)."""
    pid_file = Path(c.installation(str(exe))["pid_file"])
    try:
        pid = int(pid_file.read_text().split()[0])
    except (OSError, ValueError, IndexError):
        return
    os.kill(pid, signal.SIGTERM)
    for _ in range(500):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.02)


def waits(opts, python: str) -> dict:
    """{(child, what, how): [answers]}."""
    results: dict = {}
    binary = c.terminal_binary(opts.terminal)
    with c.Terminal(binary) as terminal:
        startable = terminal.root / "start" / Path(binary).name
        startable.parent.mkdir()
        shutil.copy2(binary, startable)
        kids = children(opts, python)
        try:
            for _ in range(opts.repeat):
                for kid in kids:
                    for how in ("thread", "loop"):
                        answer = kid.ask(what="download", exe=binary, ticks=opts.ticks, how=how)
                        results.setdefault((kid.name, "download", how), []).append(answer)
                        answer = kid.ask(what="start", exe=str(startable), how=how)
                        stop_started(startable)
                        results.setdefault((kid.name, "start", how), []).append(answer)
                        if kid.name == "after":
                            answer = kid.ask(what="idle", seconds=1.0, how=how)
                            results.setdefault(("after", "idle", how), []).append(answer)
        finally:
            for kid in kids:
                kid.close()
            stop_started(startable)
    return results


def small_calls(opts, python: str) -> tuple[int, dict]:
    allowed = os.sched_getaffinity(0)
    cpu = c.pin_to_one_cpu(opts.cpu)  # the Terminal and the children inherit it
    try:
        binary = c.terminal_binary(opts.terminal)
        with c.Terminal(binary):
            kids = children(opts, python)
            try:
                for kid in kids:
                    answer = kid.ask(what="connect", exe=binary)
                    if not answer["ok"]:
                        raise SystemExit(f"{kid.name}: initialize failed: {answer['error']}")
                    kid.ask(what="batch", calls=max(1, opts.calls // 10))  # warm up
                samples: dict[str, list[float]] = {kid.name: [] for kid in kids}
                for _ in range(opts.rounds):
                    for kid in kids:
                        samples[kid.name].append(kid.ask(what="batch", calls=opts.calls)["us"])
                return cpu, {name: min(values) for name, values in samples.items()}
            finally:
                for kid in kids:
                    kid.close()
    finally:
        os.sched_setaffinity(0, allowed)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--ticks", type=int, default=10_000_000, help="ticks in the download")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each wait measurement")
    parser.add_argument("--calls", type=int, default=2000, help="small calls per batch")
    parser.add_argument("--rounds", type=int, default=15, help="batches per child, interleaved")
    parser.add_argument("--baseline", help="another interpreter measured as a second 'before'")
    parser.add_argument("--cpu", type=int, help="the CPU for the small calls (default: the last allowed)")
    parser.add_argument("--terminal", help="Terminal binary (default: quorvane.terminal_path())")
    opts = parser.parse_args()
    if opts.child:
        child()
        return 0

    python = sys.executable
    found = waits(opts, python)
    names = ["before"] + (["baseline"] if opts.baseline else []) + ["after"]
    print()
    print(f"longest wait of another thread (ms): median and worst of {opts.repeat} runs, the call's own time")
    header = f"{'during':<34} {'who waits':<10}" + "".join(f" {n:>24}" for n in names)
    print(header)
    print("-" * len(header))
    met = True
    for what, label in (("download", f"copy_ticks_from, {opts.ticks:,} ticks"),
                        ("start", "initialize, starting the Terminal")):
        for how, who in (("thread", "thread"), ("loop", "event loop")):
            cells = []
            for name in names:
                answers = found[(name, what, how)]
                if not all(a["ok"] for a in answers):
                    raise SystemExit(f"{name}: {what} failed: {answers}")
                runs = sorted(a["longest_ms"] for a in answers)
                median, worst = runs[len(runs) // 2], runs[-1]
                call = statistics.median(a["call_ms"] for a in answers)
                cells.append(f"{median:>7.1f} {worst:>7.1f} ({call:>5.0f})")
                if name == "after":
                    met = met and median <= 20
            print(f"{label:<34} {who:<10}" + "".join(f" {cell:>24}" for cell in cells))
    for how, who in (("thread", "thread"), ("loop", "event loop")):
        runs = sorted(a["longest_ms"] for a in found[("after", "idle", how)])
        print(f"{'no call (1 s of sleep), for scale':<34} {who:<10}" + " " * (25 * (len(names) - 1))
              + f" {runs[len(runs) // 2]:>7.1f} {runs[-1]:>7.1f} ( 1000)")
    print()
    print("target: after <= 20 ms (median):", "met" if met else "NOT met")

    cpu, latency = small_calls(opts, python)
    print()
    print(f"symbol_info_tick, fastest of {opts.rounds} batches of {opts.calls}, children and Terminal on CPU {cpu}")
    for name in names:
        print(f"  {name:<9} {latency[name]:>8.2f} us   after / this: {latency['after'] / latency[name]:.3f}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
