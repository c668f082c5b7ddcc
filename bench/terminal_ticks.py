"""Measures how fast the bundled Terminal serves a large tick history.

Not a test (it times things): run it by hand,

    python bench/terminal_ticks.py [/path/to/terminal64] [ticks]

It starts a private copy of the Terminal (its own runtime and data folders),
asks for `ticks` EURUSD ticks (default 10 000 000) with copy_ticks_from,
reads the reply into one preallocated buffer and prints the rate. A second
round repeats the request, when the day plans are already cached.
"""

from __future__ import annotations

import struct
import sys
import time

import common as c

TICKS_FROM, TICK = 104, 60


def main() -> None:
    binary = c.terminal_binary(sys.argv[1] if len(sys.argv) > 1 else None)
    ticks = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    with c.Terminal(binary, 1735689600) as terminal:
        client = c.PythonClient(terminal.endpoint)
        try:
            request = c.frame(TICKS_FROM, c.wide("EURUSD") + struct.pack("<qii", 1672531200 * 1000, ticks, 3))
            buffer = memoryview(bytearray(64 + TICK * ticks))
            for round_ in ("first", "second"):
                t0 = time.perf_counter()
                length = client.fetch_into(request, buffer)
                elapsed = time.perf_counter() - t0
                _, result, count = struct.unpack_from("<IiI", buffer)
                assert result == 1 and count == ticks, (result, count)
                megabytes = (4 + length) / 1e6
                print(f"{round_}: {count} ticks, {megabytes:.0f} MB in {elapsed:.3f} s = {megabytes / elapsed:.0f} MB/s")
        finally:
            client.close()


if __name__ == "__main__":
    main()
