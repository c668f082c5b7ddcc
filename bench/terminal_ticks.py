"""Measures how fast the bundled Terminal serves a large tick history.

Not a test (it times things): run it by hand against a running Terminal,

    python bench/terminal_ticks.py /path/to/terminal64 [ticks]

It starts a private copy of the Terminal (its own runtime and data folders),
asks for `ticks` EURUSD ticks (default 10 000 000) with copy_ticks_from,
reads the reply into one preallocated buffer and prints the rate. A second
round repeats the request, when the day plans are already cached.
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


def receive_into(sock: socket.socket, buffer: memoryview) -> None:
    got = 0
    while got < len(buffer):
        n = sock.recv_into(buffer[got:], len(buffer) - got)
        if n == 0:
            raise ConnectionError("closed")
        got += n


def main() -> None:
    binary = sys.argv[1]
    ticks = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    root = Path(tempfile.mkdtemp(prefix="qvn-bench-"))
    try:
        (root / "run").mkdir(mode=0o700)
        (root / "data").mkdir()
        (root / "inst").mkdir()
        exe = root / "inst" / "terminal64"
        shutil.copy2(binary, exe)
        env = dict(os.environ, XDG_RUNTIME_DIR=str(root / "run"), XDG_DATA_HOME=str(root / "data"))
        os.environ["XDG_RUNTIME_DIR"] = env["XDG_RUNTIME_DIR"]
        proc = subprocess.Popen([str(exe), "--now", "1735689600"], env=env, stderr=subprocess.DEVNULL)
        try:
            client = tc.TerminalClient.connect(str(exe))
            start_ms = 1672531200 * 1000  # 2023-01-01
            args = tc.wide("EURUSD") + tc.i64(start_ms) + tc.i32(ticks) + tc.i32(3)
            buffer = bytearray(16 + 60 * ticks)
            view = memoryview(buffer)
            for round_ in ("first", "second"):
                t0 = time.perf_counter()
                client.send_raw(tc.frame(tc.TICKS_FROM, args))
                receive_into(client.sock, view[:16])
                length, _, result, count = struct.unpack_from("<IIiI", buffer)
                assert result == 1 and count == ticks, (result, count)
                receive_into(client.sock, view[16 : 16 + 60 * count])
                elapsed = time.perf_counter() - t0
                megabytes = (16 + 60 * count) / 1e6
                print(f"{round_}: {count} ticks, {megabytes:.0f} MB in {elapsed:.3f} s = {megabytes / elapsed:.0f} MB/s")
            client.close()
        finally:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=30)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
