"""Measures how fast the bundled Terminal serves a large symbol catalogue.

Not a test (it times things): run it by hand,

    python bench/terminal_symbols.py /path/to/terminal64 [extra symbols]

It starts a private copy of the Terminal with `--extra-symbols` (default
20 000) and a frozen clock, then, side by side in one run, receives the
whole catalogue (command 174) and a tick history of the same number of
bytes (command 104), and prints both rates and their ratio: building symbol
records should cost little next to moving their bytes. Each request runs
three times; the best round counts (the first one also fills the caches).
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import terminal_client as tc  # noqa: E402

RECORD = 2993
TICK = 60


def receive_into(sock: socket.socket, buffer: memoryview) -> None:
    got = 0
    while got < len(buffer):
        n = sock.recv_into(buffer[got:], len(buffer) - got)
        if n == 0:
            raise ConnectionError("closed")
        got += n


def timed(client: tc.TerminalClient, request: bytes, record: int, buffer: memoryview) -> tuple[int, float]:
    """Sends a list request; returns (records, seconds until the last byte)."""
    t0 = time.perf_counter()
    client.send_raw(request)
    receive_into(client.sock, buffer[:16])
    _, _, result, count = struct.unpack_from("<IIiI", buffer)
    assert result == 1, result
    receive_into(client.sock, buffer[16 : 16 + record * count])
    return count, time.perf_counter() - t0


def main() -> None:
    binary = sys.argv[1]
    extra = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000
    root = Path(tempfile.mkdtemp(prefix="qvn-bench-"))
    try:
        (root / "run").mkdir(mode=0o700)
        (root / "data").mkdir()
        (root / "inst").mkdir()
        exe = root / "inst" / "terminal64"
        shutil.copy2(binary, exe)
        env = dict(os.environ, XDG_RUNTIME_DIR=str(root / "run"), XDG_DATA_HOME=str(root / "data"))
        os.environ["XDG_RUNTIME_DIR"] = env["XDG_RUNTIME_DIR"]
        argv = [str(exe), "--now", "1735689600", "--extra-symbols", str(extra)]
        proc = subprocess.Popen(argv, env=env, stderr=subprocess.DEVNULL)
        try:
            client = tc.TerminalClient.connect(str(exe))
            symbols = client.symbols_total()[1]
            ticks = symbols * RECORD // TICK
            buffer = bytearray(16 + symbols * RECORD)
            view = memoryview(buffer)
            list_request = tc.frame(tc.SYMBOLS_GET)
            tick_request = tc.frame(
                tc.TICKS_FROM, tc.wide("EURUSD") + tc.i64(1672531200 * 1000) + tc.i32(ticks) + tc.i32(3)
            )
            best_list = min(timed(client, list_request, RECORD, view)[1] for _ in range(3))
            best_ticks = min(timed(client, tick_request, TICK, view)[1] for _ in range(3))
            megabytes = symbols * RECORD / 1e6
            print(f"symbols_get: {symbols} records, {megabytes:.0f} MB in {best_list * 1e3:.1f} ms "
                  f"= {megabytes / best_list:.0f} MB/s")
            print(f"ticks:       {ticks} records, {megabytes:.0f} MB in {best_ticks * 1e3:.1f} ms "
                  f"= {megabytes / best_ticks:.0f} MB/s")
            print(f"symbol list time / tick history time for the same bytes: {best_list / best_ticks:.2f}")
            client.close()
        finally:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=30)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
