"""The symbol catalogue: symbols_get() against a pure-Python decoder.

Starts the bundled Terminal with generated symbols (``--extra-symbols``) so
that its catalogue holds --symbols entries, then in one run times:

- module: ``symbols_get()``, the whole call (request, reply, tuples);
- python: a raw socket fetching the same reply bytes, then a pure-Python
  decoder (one precompiled struct per record, bytes.decode for the 13 text
  fields) building the same SymbolInfo tuples;
- raw: the socket fetch alone, to show what the transfer itself costs.

Goal: the module at least 5 times faster than the Python client.

    python bench/symbols.py [--symbols 5000] [--repeat 7]
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import struct
import sys
import time
from pathlib import Path

# NumPy's BLAS threads would otherwise compete for the CPUs being measured.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from history import Terminal, frame  # noqa: E402
from small_calls import SYMBOL_WIRE, PythonClient, RecordDecoder  # noqa: E402

SYMBOLS_TOTAL, SYMBOLS_GET, RECORD = 173, 174, 2993


def python_symbols(client: PythonClient, decoder: RecordDecoder, request: bytes):
    body = client.fetch(request, SYMBOLS_GET)
    (count,) = struct.unpack_from("<I", body)
    if len(body) != 4 + count * RECORD:
        raise SystemExit("reply does not hold its count of records")
    return tuple(decoder.decode(body, 4 + k * RECORD) for k in range(count))


def best_and_median(fn, repeat: int) -> tuple[float, float]:
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result
    return min(times), statistics.median(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--symbols", type=int, default=5000, help="catalogue size to reach")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--terminal", help="Terminal binary (default: quorvane.terminal_path())")
    opts = parser.parse_args()

    import quorvane
    from quorvane import _core as core

    binary = opts.terminal or os.environ.get("QVN_TERMINAL64") or quorvane.terminal_path()

    # The size of the Terminal's own table decides how many to generate.
    probe = Terminal(binary, "1768478400", [])
    try:
        if not core.initialize(binary):
            raise SystemExit(f"initialize failed: {core.last_error()}")
        table = core.symbols_total()
        core.shutdown()
    finally:
        probe.close()

    terminal = Terminal(binary, "1768478400", ["--extra-symbols", str(max(0, opts.symbols - table))])
    client = None
    try:
        if not core.initialize(binary):
            raise SystemExit(f"initialize failed: {core.last_error()}")
        client = PythonClient(terminal.endpoint)
        request = frame(SYMBOLS_GET, b"")
        decoder = RecordDecoder(SYMBOL_WIRE, core.SymbolInfo, move_last_to=93)

        module_result = core.symbols_get()
        python_result = python_symbols(client, decoder, request)
        if module_result is None or module_result != python_result:
            raise SystemExit(f"the two clients disagree (module: {core.last_error()})")
        count = len(module_result)
        del module_result, python_result

        module_s = best_and_median(core.symbols_get, opts.repeat)
        python_s = best_and_median(lambda: python_symbols(client, decoder, request), opts.repeat)
        raw_s = best_and_median(lambda: client.call(request), opts.repeat)
        core.shutdown()
    finally:
        if client is not None:
            client.close()
        terminal.close()

    ms = 1e3
    speedup = python_s[1] / module_s[1]
    print()
    print(f"symbols_get(), {count} symbols ({count * RECORD / 1e6:.1f} MB of records); {opts.repeat} runs each")
    header = f"{'way':<8} {'best ms':>9} {'median ms':>10} {'us/symbol':>10}"
    print(header)
    print("-" * len(header))
    for name, (best, median) in (("raw", raw_s), ("module", module_s), ("python", python_s)):
        print(f"{name:<8} {best * ms:>9.1f} {median * ms:>10.1f} {median / count * 1e6:>10.2f}")
    print()
    print(f"module speed-up over the Python client (medians): {speedup:.1f}x")
    ok = speedup >= 5
    print("goal: >= 5x:", "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
