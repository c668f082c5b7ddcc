#!/usr/bin/env python3
"""Records the seed corpora of the fuzz targets from a real session.

Starts a copy of terminal64 in a private folder (its own runtime and data
folders, a frozen market clock), holds one session with it over the raw
socket client of the tests, and writes:

  corpus/terminal/<name>  each request body (command code and arguments)
  corpus/reply/<name>     reply shape byte, options byte 0, the reply frame
                          (and, for some, the next frame after it)
  corpus/group/<name>     group and name pairs, UTF-16LE, split by FFFF

Usage: fuzz/capture_seeds.py [path/to/terminal64]
(default: the Terminal of the installed quorvane package).
"""

from __future__ import annotations

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import terminal_client as tc  # noqa: E402
from fake_terminal import i32, i64, u32, u64, wide  # noqa: E402

NOW_ARG = "1710504000.250"  # Friday 2024-03-15 12:00:00.250 UTC
NOW_S = 1710504000
NOW_MS = NOW_S * 1000 + 250
ALL = 3  # every tick, quotes and deals

# The reply target's shapes (fuzz_reply.cpp, enum Shape), by command.
REPLY_SHAPE = {
    tc.READY_POLL: 0, tc.HANDSHAKE: 0, tc.LOGIN: 1, tc.VERSION: 2, tc.TICKS_FROM: 3,
    tc.RATES_FROM: 4, tc.RATES_FROM_POS: 4, tc.RATES_RANGE: 4, tc.TICKS_RANGE: 5,
    tc.TERMINAL_INFO: 6, tc.ACCOUNT_INFO: 7,
}

# (seed name, command, arguments): one session, in order.
SESSION = [
    ("handshake", tc.HANDSHAKE, u32(3) + wide("Python")),
    ("handshake-old", tc.HANDSHAKE, u32(2) + wide("Python")),
    ("ready", tc.READY_POLL, b""),
    ("version", tc.VERSION, u32(0)),
    ("version-bad", tc.VERSION, u32(7)),
    ("login", tc.LOGIN, u32(0) + u64(5001001) + wide("demo1001") + wide("Quorvane-Demo")),
    ("login-refused", tc.LOGIN, u32(0) + u64(5001001) + wide("wrong") + wide("")),
    ("login-again", tc.LOGIN, u32(0) + u64(5001001) + wide("") + wide("")),
    ("terminal-info", tc.TERMINAL_INFO, b""),
    ("account-info", tc.ACCOUNT_INFO, b""),
    ("ticks-from", tc.TICKS_FROM, wide("EURUSD") + i64(NOW_MS - 60_000) + i32(5) + i32(ALL)),
    ("ticks-from-info", tc.TICKS_FROM, wide("XAUUSD") + i64(NOW_MS - 600_000) + i32(3) + i32(1)),
    ("ticks-range", tc.TICKS_RANGE, wide("EURUSD") + i64(NOW_MS - 2_000) + i64(NOW_MS) + i32(ALL)),
    ("ticks-range-wide", tc.TICKS_RANGE, wide("BTCUSD") + i64(NOW_MS - 30_000) + i64(NOW_MS) + i32(2)),
    ("ticks-unknown-symbol", tc.TICKS_FROM, wide("NOSUCH") + i64(NOW_MS) + i32(5) + i32(ALL)),
    ("rates-from", tc.RATES_FROM, wide("EURUSD") + i32(60) + i64(NOW_S) + i32(4)),
    ("rates-from-many", tc.RATES_FROM, wide("USDJPY") + i32(1) + i64(NOW_S) + i32(300)),
    ("rates-range", tc.RATES_RANGE, wide("US500") + i32(15) + i64(NOW_S - 86400) + i64(NOW_S)),
    ("rates-from-pos", tc.RATES_FROM_POS, wide("XAUUSD") + i32(1440) + i32(0) + i32(3)),
    ("rates-bad-timeframe", tc.RATES_FROM_POS, wide("XAUUSD") + i32(17) + i32(0) + i32(3)),
    ("unknown-command", 999, b""),
    ("ready-extra-bytes", tc.READY_POLL, u32(0)),
]

GROUPS = [
    ("*,!EUR*", "GBPUSD"), ("!EUR*,*", "EURUSD"), (" EURUSD , GBPUSD ", "GBPUSD"),
    ("A*B*C", "AXBXBXC"), ("*ABA", "ABABA"), ("Forex*,Metals*", "Metals\\Spot\\XAUUSD"),
    ("!", ""), ("**,,!", "X"),
]


def utf16(text: str) -> bytes:
    return text.encode("utf-16-le", "surrogatepass")


def write(folder: Path, name: str, data: bytes) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def main() -> int:
    if len(sys.argv) > 1:
        binary = sys.argv[1]
    else:
        import quorvane

        binary = quorvane.terminal_path()
    out = HERE / "corpus"
    root = Path(tempfile.mkdtemp(prefix="qvn-seeds-"))
    proc = None
    try:
        (root / "run").mkdir(mode=0o700)
        os.environ["XDG_RUNTIME_DIR"] = str(root / "run")
        os.environ["XDG_DATA_HOME"] = str(root / "data")
        exe = root / "inst" / "terminal64"
        exe.parent.mkdir()
        shutil.copy2(binary, exe)
        proc = subprocess.Popen([str(exe), "--now", NOW_ARG], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with tc.TerminalClient.connect(str(exe), timeout=60) as client:
            ready = None
            for name, command, args in SESSION:
                frame = tc.frame(command, args)
                client.send_raw(frame)
                (length,) = struct.unpack("<I", client.recv_exact(4))
                reply = struct.pack("<I", length) + client.recv_exact(length)
                write(out / "terminal", name, frame[4:])
                if command == tc.READY_POLL and ready is None:
                    ready = reply
                shape = REPLY_SHAPE.get(command)
                if shape is not None:
                    write(out / "reply", name, bytes([shape, 0]) + reply)
                    # The same reply followed by the next one: the stream must
                    # stay in step from one frame to the next.
                    if ready is not None and name in ("login-refused", "version-bad", "rates-from"):
                        write(out / "reply", name + "+ready", bytes([shape, 0]) + reply + ready)
        for i, (group, name) in enumerate(GROUPS):
            write(out / "group", f"group-{i}", utf16(group) + b"\xff\xff" + utf16(name))
    finally:
        if proc is not None:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=30)
        shutil.rmtree(root, ignore_errors=True)
    for target in ("terminal", "reply", "group"):
        files = list((out / target).iterdir())
        print(f"{target}: {len(files)} seeds, {sum(f.stat().st_size for f in files)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
