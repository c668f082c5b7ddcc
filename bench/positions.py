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
import socket
import struct
import sys
import tempfile
import threading
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))
from history import Terminal, frame  # noqa: E402
from small_calls import PythonClient  # noqa: E402
from symbols import best_and_median  # noqa: E402

import fake_terminal as ft  # noqa: E402
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


def serve(path: str, answer: bytes, ready) -> None:
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
                elif command == POSITIONS_GET:
                    conn.sendall(answer)
                else:
                    conn.sendall(ft.reply(command, -5))

    while True:
        conn, _ = server.accept()
        threading.Thread(target=connection, args=(conn,), daemon=True).start()


# ---- the pure-Python client ------------------------------------------------------------


def text(raw: bytes) -> str:
    return raw.decode("utf-16-le", "surrogatepass").split("\0", 1)[0]


def python_positions(client: PythonClient, make, request: bytes):
    body = client.fetch(request, POSITIONS_GET)
    (count,) = struct.unpack_from("<I", body)
    if len(body) != 4 + count * RECORD:
        raise SystemExit("reply does not hold its count of records")
    out = []
    for values in POSITION_STRUCT.iter_unpack(body[4:]):
        out.append(make(values[:16] + (text(values[16]), text(values[17]), text(values[18]))))
    return tuple(out)


def bench_positions(core, opts) -> float:
    folder = Path(tempfile.mkdtemp(prefix="qvn-bench-"))
    (folder / "run").mkdir(mode=0o700)
    os.environ["XDG_RUNTIME_DIR"] = str(folder / "run")
    exe = folder / "terminal64"
    exe.write_bytes(b"stand-in\n")
    ready = multiprocessing.Event()
    server = multiprocessing.Process(target=serve, args=(ft.endpoint_path(str(exe)),
                                                         positions_reply(opts.positions), ready), daemon=True)
    server.start()
    client = None
    try:
        if not ready.wait(30) or not core.initialize(str(exe)):
            raise SystemExit(f"initialize failed: {core.last_error()}")
        client = PythonClient(ft.endpoint_path(str(exe)))
        request = frame(POSITIONS_GET, b"")
        module_result = core.positions_get()
        python_result = python_positions(client, core.TradePosition, request)
        if module_result is None or module_result != python_result:
            raise SystemExit(f"the two clients disagree (module: {core.last_error()})")
        count = len(module_result)
        del module_result, python_result
        module_s = best_and_median(core.positions_get, opts.repeat)
        python_s = best_and_median(lambda: python_positions(client, core.TradePosition, request), opts.repeat)
        raw_s = best_and_median(lambda: client.call(request), opts.repeat)
        core.shutdown()
    finally:
        if client is not None:
            client.close()
        server.terminate()
        server.join(10)

    speedup = python_s[1] / module_s[1]
    print()
    print(f"positions_get(), {count} positions ({count * RECORD / 1e6:.1f} MB of records); {opts.repeat} runs each")
    header = f"{'way':<8} {'best ms':>9} {'median ms':>10} {'us/position':>12}"
    print(header)
    print("-" * len(header))
    for name, (best, median) in (("raw", raw_s), ("module", module_s), ("python", python_s)):
        print(f"{name:<8} {best * 1e3:>9.2f} {median * 1e3:>10.2f} {median / count * 1e6:>12.3f}")
    print()
    print(f"module speed-up over the Python client (medians): {speedup:.1f}x")
    return speedup


def bench_order_send(core, opts, binary: str) -> None:
    terminal = Terminal(binary, "1768478400", [])
    try:
        if not core.initialize(binary):
            raise SystemExit(f"initialize failed: {core.last_error()}")
        buy = {"action": 1, "symbol": "EURUSD", "volume": 0.01, "type": 0}
        t0 = time.perf_counter()
        for _ in range(opts.trades // 2):
            opened = core.order_send(buy)
            if opened is None or opened.retcode != 1:
                raise SystemExit(f"order_send failed: {opened or core.last_error()}")
            (position,) = core.positions_get()
            closed = core.order_send(dict(buy, type=1, position=position.ticket))
            if closed is None or closed.retcode != 1:
                raise SystemExit(f"closing failed: {closed or core.last_error()}")
        elapsed = time.perf_counter() - t0
        core.shutdown()
    finally:
        terminal.close()
    sends = 2 * (opts.trades // 2)
    print()
    print(f"order_send against the bundled Terminal: {sends} trades (each with a positions_get) in "
          f"{elapsed:.2f} s: {sends / elapsed:.0f} order_send round trips per second")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--positions", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--trades", type=int, default=200, help="order_send calls against the bundled Terminal")
    parser.add_argument("--terminal", help="Terminal binary (default: quorvane.terminal_path())")
    opts = parser.parse_args()

    import quorvane
    from quorvane import _core as core

    speedup = bench_positions(core, opts)
    if opts.trades > 0:
        bench_order_send(core, opts, opts.terminal or os.environ.get("QVN_TERMINAL64") or quorvane.terminal_path())
    ok = speedup >= 5
    print("goal: positions_get() >= 5x the Python client:", "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
