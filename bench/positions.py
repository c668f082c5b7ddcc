"""Open positions: positions_get() against a pure-Python decoder, and
order_send round trips.

Part one serves a reply of --positions position records from a stand-in
Terminal (a process of its own: the module keeps the interpreter lock while
it waits) and, in one run, times:

- module: ``positions_get()``, the whole call (request, reply, tuples);
- python: a raw socket fetching the same reply bytes, then a pure-Python
  decoder (one precompiled struct for the record, bytes.decode for the
  three text fields) building the same TradePosition tuples;
- raw: the socket fetch alone, to show what the transfer itself costs.

Goal: the module at least 5 times faster than the Python client.

Part two starts the bundled Terminal and reports how many order_send calls
per second it answers, opening and closing one paper position in turn.

    python bench/positions.py [--positions 10000] [--repeat 7] [--trades 200]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time
from pathlib import Path

import common as c

import fake_terminal as ft  # noqa: E402  (on the path through common)
from trade_records import POSITION, distinct, pack  # noqa: E402

POSITIONS_GET, RECORD = 121, 320
# The position record: 8 bytes that no item takes lie between price_current
# and swap.
POSITION_STRUCT = struct.Struct("<QqqqqIQQIddddd8xdd64s64s64s")
assert POSITION_STRUCT.size == RECORD


def positions_reply(count: int) -> bytes:
    symbols = ["EURUSD", "GBPUSD", "USDJPY", "XAUUSD", "BTCUSD"]
    records = b"".join(
        pack(POSITION, distinct(POSITION, ticket=k, symbol=symbols[k % 5], comment=f"trade {k}", external_id=""))
        for k in range(count))
    return ft.reply(POSITIONS_GET, 1, struct.pack("<I", count) + records)


# ---- the stand-in Terminal -----------------------------------------------------------


def serve(path: str, answer: bytes, ready, command_answered: int = POSITIONS_GET) -> None:
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(4)
    ready.set()

    def connection(conn: socket.socket) -> None:
        with conn:
            while True:
                head = conn.recv(4, socket.MSG_WAITALL)
                if len(head) < 4:
                    return
                body = conn.recv(struct.unpack("<I", head)[0], socket.MSG_WAITALL)
                command = struct.unpack_from("<I", body)[0]
                if command == 4:
                    conn.sendall(ft.handshake_reply())
                elif command == 109:
                    conn.sendall(ft.ready_reply())
                elif command == command_answered:
                    conn.sendall(answer)
                else:
                    conn.sendall(ft.reply(command, -5))

    while True:
        conn, _ = server.accept()
        threading.Thread(target=connection, args=(conn,), daemon=True).start()


# ---- the pure-Python client ------------------------------------------------------------


def decode_position(make):
    def decode(body, offset: int):
        values = POSITION_STRUCT.unpack_from(body, offset)
        return make(values[:16] + (c.text(values[16]), c.text(values[17]), c.text(values[18])))
    return decode


def measure(core, positions: int, repeat: int):
    """(count, {way: (best s, median s)}) for a reply of `positions` records
    served by the stand-in Terminal."""
    folder = Path(tempfile.mkdtemp(prefix="qvn-bench-"))
    (folder / "run").mkdir(mode=0o700)
    os.environ["XDG_RUNTIME_DIR"] = str(folder / "run")
    exe = folder / "terminal64"
    exe.write_bytes(b"stand-in\n")
    ready = multiprocessing.Event()
    server = multiprocessing.Process(target=serve, args=(ft.endpoint_path(str(exe)),
                                                         positions_reply(positions), ready), daemon=True)
    server.start()
    client = None
    try:
        if not ready.wait(30):
            raise SystemExit("the stand-in Terminal did not start")
        c.connect_module(core, str(exe))
        client = c.PythonClient(ft.endpoint_path(str(exe)))
        request = c.frame(POSITIONS_GET)
        decode = decode_position(core.TradePosition)
        return c.compare_decoders(core.positions_get,
                                  lambda: c.decode_list(client, request, POSITIONS_GET, RECORD, decode),
                                  lambda: client.call(request), repeat)
    finally:
        core.shutdown()
        if client is not None:
            client.close()
        server.terminate()
        server.join(10)
        shutil.rmtree(folder, ignore_errors=True)


def bench_positions(core, opts) -> float:
    count, times = measure(core, opts.positions, opts.repeat)
    return c.print_decoders(f"positions_get(), {count} positions ({count * RECORD / 1e6:.1f} MB of records); "
                            f"{opts.repeat} runs each", count, "position", times)


def order_send_rate(core, binary: str, trades: int) -> tuple[int, float]:
    """(order_send calls, seconds): paper positions opened and closed in turn."""
    with c.Terminal(binary):
        c.connect_module(core, binary)
        try:
            buy = {"action": 1, "symbol": "EURUSD", "volume": 0.01, "type": 0}
            t0 = time.perf_counter()
            for _ in range(trades // 2):
                opened = core.order_send(buy)
                if opened is None or opened.retcode != 1:
                    raise SystemExit(f"order_send failed: {opened or core.last_error()}")
                (position,) = core.positions_get()
                closed = core.order_send(dict(buy, type=1, position=position.ticket))
                if closed is None or closed.retcode != 1:
                    raise SystemExit(f"closing failed: {closed or core.last_error()}")
            return 2 * (trades // 2), time.perf_counter() - t0
        finally:
            core.shutdown()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--positions", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--trades", type=int, default=200, help="order_send calls against the bundled Terminal")
    parser.add_argument("--terminal", help="Terminal binary (default: quorvane.terminal_path())")
    opts = parser.parse_args()

    from quorvane import _core as core

    speedup = bench_positions(core, opts)
    if opts.trades > 0:
        sends, elapsed = order_send_rate(core, c.terminal_binary(opts.terminal), opts.trades)
        print()
        print(f"order_send against the bundled Terminal: {sends} trades (each with a positions_get) in "
              f"{elapsed:.2f} s: {sends / elapsed:.0f} order_send round trips per second")
    ok = speedup >= 5
    print("goal: positions_get() >= 5x the Python client:", "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
