"""Small calls: what the module adds on top of one round trip.

Starts the bundled Terminal in a private temporary folder and, in one run,
times three ways of making the same call:

- raw: a bare socket sending the call's exact request bytes and reading the
  reply into a buffer allocated beforehand (the round trip itself);
- module: the module function (symbol_info_tick, symbol_info, account_info);
- python: a pure-Python client sending the same bytes and building the same
  named tuple from the reply with struct and bytes.decode.

The module's overhead is its time above the raw round trip; it is reported as
a ratio of the pure-Python client's overhead. Goal: ratio <= 0.2.

Round trips through the scheduler swing by tens of microseconds when client
and Terminal run on different CPUs, so this process pins itself to one CPU
before it starts the Terminal, which inherits the pinning. The three ways are
interleaved batch by batch, and each is reported by its fastest batch: other
work on the machine only ever adds time, so the fastest batch is the one
closest to the call's own cost.

    python bench/small_calls.py [--calls 2000] [--rounds 15] [--cpu N]
"""

from __future__ import annotations

import argparse
import os
import socket
import struct
import sys
import time
from pathlib import Path

# NumPy's BLAS threads would otherwise compete for the CPUs being measured.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from history import HANDSHAKE, Terminal, frame, wide  # noqa: E402

TICK, SYMBOL_INFO, ACCOUNT_INFO, LOGIN = 172, 170, 190, 5

# ---- the pure-Python client ------------------------------------------------------
# Layouts in wire order: (name, struct code); a number is a UTF-16 text of that
# many units.

ACCOUNT_WIRE = ("login:Q trade_mode:I leverage:I limit_orders:I margin_so_mode:I trade_allowed:? "
                "trade_expert:? margin_mode:I currency_digits:I fifo_close:? balance:d credit:d profit:d "
                "equity:d margin:d margin_free:d margin_level:d margin_so_call:d margin_so_so:d "
                "margin_initial:d margin_maintenance:d assets:d liabilities:d commission_blocked:d "
                "name:128 server:64 currency:32 company:128")
SYMBOL_WIRE = ("custom:? chart_mode:I select:? visible:? session_deals:Q session_buy_orders:Q "
               "session_sell_orders:Q volume:Q volumehigh:Q volumelow:Q time:q digits:I spread:i "
               "spread_float:? ticks_bookdepth:I trade_calc_mode:I trade_mode:I start_time:q expiration_time:q "
               "trade_stops_level:i trade_freeze_level:i trade_exemode:I swap_mode:I swap_rollover3days:I "
               "margin_hedged_use_leg:? expiration_mode:i filling_mode:i order_mode:i order_gtc_mode:I "
               "option_mode:I option_right:I " + "x:d " * 52 +
               "basis:32 category:64 currency_base:16 currency_profit:16 currency_margin:16 bank:256 "
               "description:64 exchange:64 formula:256 isin:16 page:256 path:128 name:32")


class RecordDecoder:
    """One precompiled struct for a whole record; text fields come out as
    bytes and are decoded up to their first zero unit. `order` maps the
    tuple's places to the unpacked values'."""

    def __init__(self, wire: str, tuple_type, move_last_to: int | None = None):
        fmt, self.texts = "<", []
        for i, token in enumerate(wire.split()):
            code = token.split(":")[1]
            if code.isdigit():
                fmt += f"{2 * int(code)}s"
                self.texts.append(i)
            else:
                fmt += code
        self.struct = struct.Struct(fmt)
        count = len(wire.split())
        self.order = list(range(count))
        if move_last_to is not None:
            self.order.insert(move_last_to, self.order.pop())
        self.tuple_type = tuple_type

    def decode(self, data, offset: int = 0):
        values = list(self.struct.unpack_from(data, offset))
        for i in self.texts:
            text = values[i].decode("utf-16-le", "surrogatepass")
            cut = text.find("\0")
            values[i] = text if cut < 0 else text[:cut]
        return self.tuple_type([values[i] for i in self.order])


class PythonClient:
    def __init__(self, endpoint: str):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(endpoint)
        self.call(frame(HANDSHAKE, struct.pack("<I", 3) + wide("Python")))

    def call(self, request: bytes) -> memoryview:
        """Sends a request; returns the reply after its length field."""
        self.sock.sendall(request)
        head = self.sock.recv(4, socket.MSG_WAITALL)
        (length,) = struct.unpack("<I", head)
        body = bytearray(length)
        view = memoryview(body)
        got = 0
        while got < length:
            got += self.sock.recv_into(view[got:])
        return view

    def fetch(self, request: bytes, command: int):
        """The record after echo and result, or None when refused."""
        body = self.call(request)
        echo, result = struct.unpack_from("<Ii", body)
        if echo != command or result < 0:
            return None
        return body[8:]

    def close(self) -> None:
        self.sock.close()


class RawClient(PythonClient):
    """The same socket work without decoding: the reply lands in one buffer
    allocated beforehand."""

    def __init__(self, endpoint: str):
        super().__init__(endpoint)
        self.buffer = memoryview(bytearray(1 << 16))

    def round_trip(self, request: bytes) -> int:
        self.sock.sendall(request)
        head = self.sock.recv(4, socket.MSG_WAITALL)
        (length,) = struct.unpack("<I", head)
        view = self.buffer[:length]
        got = 0
        while got < length:
            got += self.sock.recv_into(view[got:])
        return length


# ---- timing -------------------------------------------------------------------------


def batch_us(fn, calls: int) -> float:
    t0 = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - t0) / calls / 1000


def measure(ways: dict, calls: int, rounds: int) -> dict:
    samples = {name: [] for name in ways}
    for fn in ways.values():  # warm up
        batch_us(fn, max(1, calls // 10))
    for _ in range(rounds):
        for name, fn in ways.items():
            samples[name].append(batch_us(fn, calls))
    return {name: min(values) for name, values in samples.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=2000, help="calls per batch")
    parser.add_argument("--rounds", type=int, default=21, help="batches per way, interleaved")
    parser.add_argument("--cpu", type=int, help="the CPU to pin client and Terminal to (default: the last allowed)")
    parser.add_argument("--symbol", default="EURUSD")
    parser.add_argument("--terminal", help="Terminal binary (default: quorvane.terminal_path())")
    opts = parser.parse_args()

    import quorvane
    from quorvane import _core as core

    binary = opts.terminal or os.environ.get("QVN_TERMINAL64") or quorvane.terminal_path()
    cpu = opts.cpu if opts.cpu is not None else max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})  # the Terminal started below inherits it

    terminal = Terminal(binary, "1768478400", [])
    raw = client = None
    try:
        if not core.initialize(binary, login=5001001, password="demo1001", server="Quorvane-Demo"):
            print(f"initialize failed: {core.last_error()}", file=sys.stderr)
            return 1
        raw, client = RawClient(terminal.endpoint), PythonClient(terminal.endpoint)
        login = frame(LOGIN, struct.pack("<IQ", 0, 5001001) + wide("demo1001") + wide("Quorvane-Demo"))
        raw.round_trip(login)
        client.call(login)

        tick_struct = struct.Struct("<qdddQqId")
        symbol_decoder = RecordDecoder(SYMBOL_WIRE, core.SymbolInfo, move_last_to=93)
        account_decoder = RecordDecoder(ACCOUNT_WIRE, core.AccountInfo)
        symbol = opts.symbol
        cases = [
            ("symbol_info_tick", frame(TICK, wide(symbol)), lambda: core.symbol_info_tick(symbol),
             lambda req: core.Tick(tick_struct.unpack(client.fetch(req, TICK)))),
            ("symbol_info", frame(SYMBOL_INFO, wide(symbol)), lambda: core.symbol_info(symbol),
             lambda req: symbol_decoder.decode(client.fetch(req, SYMBOL_INFO))),
            ("account_info", frame(ACCOUNT_INFO, b""), core.account_info,
             lambda req: account_decoder.decode(client.fetch(req, ACCOUNT_INFO))),
        ]
        rows = []
        for name, request, module_call, python_call in cases:
            # The pure-Python client must build what the module builds.
            made = python_call(request)
            expected = module_call()
            if type(made) is not type(expected) or len(made) != len(expected):
                raise SystemExit(f"{name}: the Python client built {made!r}")
            times = measure({
                "raw": lambda: raw.round_trip(request),
                "module": module_call,
                "python": lambda: python_call(request),
            }, opts.calls, opts.rounds)
            rows.append((name, times))
        core.shutdown()
    finally:
        for c in (raw, client):
            if c is not None:
                c.close()
        terminal.close()

    print()
    print(f"fastest of {opts.rounds} batches of {opts.calls} calls; client and Terminal pinned to CPU {cpu}")
    header = (f"{'call':<17} {'raw us':>8} {'module us':>10} {'python us':>10} "
              f"{'module over':>12} {'python over':>12} {'ratio':>7}")
    print(header)
    print("-" * len(header))
    ok = True
    for name, t in rows:
        module_over = t["module"] - t["raw"]
        python_over = t["python"] - t["raw"]
        ratio = max(module_over, 0.0) / python_over if python_over > 0 else float("nan")
        ok = ok and ratio <= 0.2
        print(f"{name:<17} {t['raw']:>8.2f} {t['module']:>10.2f} {t['python']:>10.2f} "
              f"{module_over:>12.2f} {python_over:>12.2f} {ratio:>7.3f}")
    print()
    print("goal: module overhead <= 0.2 x the Python client's overhead:", "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
