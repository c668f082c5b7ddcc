"""Measures how fast the bundled Terminal serves a large symbol catalogue.

Not a test (it times things): run it by hand,

    python bench/terminal_symbols.py [/path/to/terminal64] [extra symbols]

It starts a private copy of the Terminal with `--extra-symbols` (default
20 000) and a frozen clock, then, side by side in one run, receives the
whole catalogue (command 174) and a tick history of the same number of
bytes (command 104), and prints both rates and their ratio: building symbol
records should cost little next to moving their bytes. Each request runs
three times; the best round counts (the first one also fills the caches).
"""

from __future__ import annotations

import struct
import sys

import common as c

SYMBOLS_TOTAL, SYMBOLS_GET, TICKS_FROM, TICK = 173, 174, 104, 60


def measure(binary: str, extra: int) -> tuple[int, float, float]:
    """(symbols, best seconds for the catalogue, best seconds for ticks of
    the same bytes)."""
    with c.Terminal(binary, 1735689600, ["--extra-symbols", str(extra)]) as terminal:
        client = c.PythonClient(terminal.endpoint)
        try:
            symbols = struct.unpack_from("<I", client.fetch(c.frame(SYMBOLS_TOTAL), SYMBOLS_TOTAL))[0]
            ticks = symbols * c.SYMBOL_RECORD // TICK
            buffer = memoryview(bytearray(64 + symbols * c.SYMBOL_RECORD))
            list_request = c.frame(SYMBOLS_GET)
            tick_request = c.frame(TICKS_FROM, c.wide("EURUSD") + struct.pack("<qii", 1672531200 * 1000, ticks, 3))
            best_list = c.best_of(lambda: client.fetch_into(list_request, buffer), 3)
            best_ticks = c.best_of(lambda: client.fetch_into(tick_request, buffer), 3)
            return symbols, best_list, best_ticks
        finally:
            client.close()


def main() -> None:
    binary = c.terminal_binary(sys.argv[1] if len(sys.argv) > 1 else None)
    extra = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000
    symbols, best_list, best_ticks = measure(binary, extra)
    ticks = symbols * c.SYMBOL_RECORD // TICK
    megabytes = symbols * c.SYMBOL_RECORD / 1e6
    print(f"symbols_get: {symbols} records, {megabytes:.0f} MB in {best_list * 1e3:.1f} ms "
          f"= {megabytes / best_list:.0f} MB/s")
    print(f"ticks:       {ticks} records, {megabytes:.0f} MB in {best_ticks * 1e3:.1f} ms "
          f"= {megabytes / best_ticks:.0f} MB/s")
    print(f"symbol list time / tick history time for the same bytes: {best_list / best_ticks:.2f}")


if __name__ == "__main__":
    main()
