"""What a trade costs the bundled Terminal, and how many it stores a second.

Not a test (it times things): run it by hand,

    python bench/trading.py [--terminal PATH] [--positions 0,1000,10000] [--seconds 3]

1. order_send cost against the number of open positions. One Terminal holds
   an account per size (0, 1 000 and 10 000 open positions spread over five
   symbols, hedging); the client, pinned with the Terminal to one CPU, times
   batches of a market buy and its close, and batches of order_check (the
   same work without the commit and its fdatasync), taking the accounts in
   turn batch by batch; each is reported by its fastest batch, per request,
   with its ratio to the empty account.
2. Durable order_send/s: a fresh Terminal (not pinned), 1 and then 8 client
   processes sending buys and closes as fast as each reply comes, every
   one committed and synced before its reply; next to it the machine's own
   fdatasync rate, a loop writing and syncing 4 KiB in the store's folder,
   measured before and after (the mean of the two).

`--terminal` takes another terminal64 (an older release, say) to compare.
"""

from __future__ import annotations

import argparse
import os
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import common as c
import terminal_client as tc

LOGIN, ORDER_CHECK, ORDER_SEND = 5, 160, 161
SYMBOLS = [("EURUSD", 0.01), ("GBPUSD", 0.01), ("USDJPY", 0.01), ("XAUUSD", 0.01), ("BTCUSD", 0.01)]
POSITION_AT = 8 + 216  # the request's `position` field, after the frame's length and command


def send_frame(**request) -> bytes:
    return tc.frame(ORDER_SEND, tc.encode_record(tc.REQUEST_FIELDS, request))


def login_frame(login: int) -> bytes:
    return c.frame(LOGIN, struct.pack("<IQ", 0, login) + c.wide("pw") + c.wide(""))


def accounts_ini(logins: list[int]) -> str:
    return "".join(f"[Account {n}]\npassword=pw\nbalance=1000000000\nleverage=1000\nlimit_orders=100000\n"
                   for n in logins)


class Trader:
    """One connection sending buy-and-close pairs of EURUSD."""

    def __init__(self, endpoint: str):
        self.client = c.PythonClient(endpoint)
        self.buy = send_frame(action=1, symbol="EURUSD", volume=0.01, type=0)
        self.close = bytearray(send_frame(action=1, symbol="EURUSD", volume=0.01, type=1))

    def send(self, request: bytes) -> int:
        body = self.client.call(request)
        (retcode,) = struct.unpack_from("<I", body, 8)
        if retcode != 1:
            raise SystemExit(f"order_send answered {retcode}")
        return struct.unpack_from("<Q", body, 8 + 12)[0]

    def pair(self) -> None:
        ticket = self.send(self.buy)
        struct.pack_into("<Q", self.close, POSITION_AT, ticket)
        self.send(bytes(self.close))


def open_positions(client: c.PythonClient, count: int) -> None:
    frames = [send_frame(action=1, symbol=s, volume=v, type=k % 2) for k, (s, v) in enumerate(SYMBOLS)]
    for k in range(count):
        body = client.call(frames[k % len(frames)])
        if struct.unpack_from("<I", body, 8)[0] != 1:
            raise SystemExit("opening a position failed")


def cost_per_position_count(binary: str, sizes: list[int], calls: int, rounds: int) -> dict[int, dict[str, float]]:
    """{open positions: {"send": us per order_send, "check": us per order_check}}."""
    logins = {n: 7_000_000 + k for k, n in enumerate(sizes)}
    c.pin_to_one_cpu()
    with c.Terminal(binary, settings=accounts_ini(list(logins.values()))) as terminal:
        trader = Trader(terminal.endpoint)
        for n, login in logins.items():
            t0 = time.perf_counter()
            trader.client.call(login_frame(login))
            open_positions(trader.client, n)
            print(f"  account with {n} positions opened in {time.perf_counter() - t0:.1f} s", flush=True)
        check = tc.frame(ORDER_CHECK, tc.encode_record(tc.REQUEST_FIELDS, dict(action=1, symbol="EURUSD",
                                                                                 volume=0.01, type=0)))

        def batch(login: int, way: str) -> float:
            trader.client.call(login_frame(login))
            t0 = time.perf_counter_ns()
            for _ in range(calls):
                if way == "send":
                    trader.pair()
                else:
                    trader.client.call(check)
            return (time.perf_counter_ns() - t0) / (2 * calls if way == "send" else calls) / 1000

        # Accounts and ways in turn, batch by batch; each reported by its
        # fastest batch: other work on the machine (and on its disk) only
        # ever adds time.
        samples: dict[int, dict[str, list[float]]] = {n: {"send": [], "check": []} for n in sizes}
        for _ in range(rounds):
            for n, login in logins.items():
                for way in ("send", "check"):
                    samples[n][way].append(batch(login, way))
        trader.client.close()
    os.sched_setaffinity(0, range(os.cpu_count() or 1))
    return {n: {way: min(v[1:] if len(v) > 1 else v) for way, v in ways.items()} for n, ways in samples.items()}


CLIENT = textwrap.dedent(
    """
    import struct, sys, time
    sys.path.insert(0, {bench!r})
    import trading
    trader = trading.Trader(sys.argv[1])
    start, stop = float(sys.argv[2]), float(sys.argv[3])
    while time.time() < start:
        time.sleep(0.001)
    sent = 0
    while time.time() < stop:
        trader.pair()
        sent += 2
    print(sent)
    """
)


def sends_per_second(endpoint: str, processes: int, seconds: float) -> float:
    script = CLIENT.format(bench=str(c.HERE))
    start = time.time() + 1.0
    procs = [subprocess.Popen([sys.executable, "-c", script, endpoint, str(start), str(start + seconds)],
                              stdout=subprocess.PIPE, text=True) for _ in range(processes)]
    return sum(int(p.communicate()[0]) for p in procs) / seconds


def fdatasyncs_per_second(folder: Path, seconds: float) -> float:
    """4 KiB written in place into a 1 MiB file and synced, in a loop: the
    data-only sync a commit to a reused write-ahead log needs."""
    path = folder / "fdatasync.bench"
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
    block, span, done = b"x" * 4096, 1 << 20, 0
    try:
        os.write(fd, bytes(span))
        os.fsync(fd)
        stop = time.perf_counter() + seconds
        while time.perf_counter() < stop:
            os.pwrite(fd, block, done * len(block) % span)
            os.fdatasync(fd)
            done += 1
    finally:
        os.close(fd)
        path.unlink()
    return done / seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--terminal", help="the terminal64 to measure (default: the bundled one)")
    parser.add_argument("--positions", default="0,1000,10000", help="open positions of each account measured")
    parser.add_argument("--calls", type=int, default=20, help="requests (buy-and-close pairs) per batch")
    parser.add_argument("--rounds", type=int, default=15, help="batches per account and way")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of each throughput run")
    args = parser.parse_args()
    binary = c.terminal_binary(args.terminal)
    sizes = [int(n) for n in args.positions.split(",")]
    print(f"terminal: {binary}")

    print("\norder_send with open positions (client and Terminal on one CPU):")
    costs = cost_per_position_count(binary, sizes, args.calls, args.rounds)
    base = costs[sizes[0]]
    print(f"\n{'open positions':>15} {'us/order_send':>14} {'ratio':>7} {'us/order_check':>15} {'ratio':>7}")
    for n, us in costs.items():
        print(f"{n:>15} {us['send']:>14.0f} {us['send'] / base['send']:>7.2f} {us['check']:>15.0f} "
              f"{us['check'] / base['check']:>7.2f}")

    print("\ndurable order_send/s (each committed with fdatasync before its reply):")
    with c.Terminal(binary, settings=accounts_ini([7_100_000])) as terminal:
        Trader(terminal.endpoint).client.call(login_frame(7_100_000))
        syncs = fdatasyncs_per_second(terminal.data_folder, args.seconds)
        rates = {k: sends_per_second(terminal.endpoint, k, args.seconds) for k in (1, 8)}
        syncs = (syncs + fdatasyncs_per_second(terminal.data_folder, args.seconds)) / 2
    print(f"{'':>24} {'per s':>8} {'of fdatasync/s':>15}")
    print(f"{'fdatasync, 4 KiB':>24} {syncs:>8.0f} {1:>15.2f}")
    for k, rate in rates.items():
        print(f"{f'order_send, {k} client(s)':>24} {rate:>8.0f} {rate / syncs:>15.2f}")


if __name__ == "__main__":
    main()
