"""The symbol catalogue: symbols_get() against a pure-Python decoder.

Starts the bundled Terminal with generated symbols (``--extra-symbols``) so
that its catalogue holds --symbols entries, then in one run times:

- module: ``symbols_get()``, the whole call (request, reply, tuples);
- python: a raw socket fetching the same reply bytes, then a pure-Python
  decoder (one precompiled struct per record, bytes.decode for the 13 text
  fields) building the same SymbolInfo tuples;
- raw: the socket fetch alone, to show what the transfer itself costs.

Goal: the module at least 12 times faster than the Python client.

    python bench/symbols.py [--symbols 5000] [--repeat 7]
"""

from __future__ import annotations

import argparse
import sys

import common as c

SYMBOLS_GET = 174


def measure(core, binary: str, symbols: int, repeat: int):
    """(count, {way: (best s, median s)}) for a catalogue of `symbols`."""
    # The size of the Terminal's own table decides how many to generate.
    with c.Terminal(binary):
        c.connect_module(core, binary)
        table = core.symbols_total()
        core.shutdown()

    with c.Terminal(binary, extra=["--extra-symbols", str(max(0, symbols - table))]) as terminal:
        c.connect_module(core, binary)
        client = c.PythonClient(terminal.endpoint)
        try:
            request = c.frame(SYMBOLS_GET)
            decoder = c.RecordDecoder(c.SYMBOL_WIRE, core.SymbolInfo, move_last_to=93)
            return c.compare_decoders(
                core.symbols_get,
                lambda: c.decode_list(client, request, SYMBOLS_GET, c.SYMBOL_RECORD, decoder.decode),
                lambda: client.call(request), repeat)
        finally:
            client.close()
            core.shutdown()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--symbols", type=int, default=5000, help="catalogue size to reach")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--terminal", help="Terminal binary (default: quorvane.terminal_path())")
    opts = parser.parse_args()

    from quorvane import _core as core

    count, times = measure(core, c.terminal_binary(opts.terminal), opts.symbols, opts.repeat)
    speedup = c.print_decoders(
        f"symbols_get(), {count} symbols ({count * c.SYMBOL_RECORD / 1e6:.1f} MB of records); "
        f"{opts.repeat} runs each", count, "symbol", times)
    ok = speedup >= 5
    print("goal: >= 5x:", "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
