"""What a trade costs the bundled Terminal, and how many it stores a second.

Not a test (it times things): run it by hand,

    python bench/trading.py [--terminal PATH] [--positions 0,1000,10000] [--seconds 6] [--cost-folder DIR]

1. order_send cost against the number of open positions. One Terminal holds
   an account per size (0, 1 000 and 10 000 open positions spread over five
   symbols, hedging); the client, pinned with the Terminal to one CPU, times
   batches of a market buy and its close, and batches of order_check (the
   same work without the commit and its fdatasync), taking the accounts in
   turn batch by batch; each is reported by its fastest batch, per request,
   with its ratio to the empty account.
2. Durable order_send/s: a fresh Terminal (not pinned), 1 and 8 client
   processes sending buys and closes as fast as each reply comes, every
   one committed and synced before its reply; beside them the machine's
   own fdatasync rate, a loop writing and syncing 4 KiB in the store's
   folder. The three take turns in short windows, so a disk whose speed
   swings with other work weighs on each alike.

`--terminal` takes another terminal64 (an older release, say) to compare.
On a disk shared with other work the sync time swings by milliseconds;
`--cost-folder /dev/shm` measures part 1 with the store in memory, where a
sync costs nothing and what is left is the engine's and SQLite's work.
"""

from __future__ import annotations

import argparse
import json
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


def cost_per_position_count(binary: str, sizes: list[int], calls: int, rounds: int,
                            folder: str | None) -> dict[int, dict[str, float]]:
    """{open positions: {"send": us per order_send, "check": us per order_check}}."""
    logins = {n: 7_000_000 + k for k, n in enumerate(sizes)}
    c.pin_to_one_cpu()
    with c.Terminal(binary, settings=accounts_ini(list(logins.values())), folder=folder) as terminal:
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
    import json, sys, time
    sys.path.insert(0, {bench!r})
    import trading
    trader = trading.Trader(sys.argv[1])
    sent = []
    for start, stop in json.loads(sys.argv[2]):
        time.sleep(max(0.0, start - time.time()))
        n = 0
        while time.time() < stop:
            trader.pair()
            n += 2
        sent.append(n)
    print(json.dumps(sent))
    """
)


def fdatasyncs(fd: int, until: float) -> int:
    """4 KiB written in place into a 1 MiB file and synced, until `until`:
    the data-only sync a commit to a reused write-ahead log needs."""
    block, span, done = b"x" * 4096, 1 << 20, 0
    while time.time() < until:
        os.pwrite(fd, block, done * len(block) % span)
        os.fdatasync(fd)
        done += 1
    return done


def durable_rates(endpoint: str, folder: Path, seconds: float, rounds: int = 5) -> dict[str, float]:
    """Per second: fdatasyncs, order_sends from one client and from eight.
    The three take turns in short windows, round after round, so that the
    disk's changing load weighs on all of them alike."""
    window = seconds / rounds
    start = time.time() + 2.0  # time for the clients to connect
    plan = []  # (kind, start, stop)
    for r in range(rounds):
        for kind in ("sync", "one", "eight"):
            plan.append((kind, start, start + window))
            start += window + 0.05
    script = CLIENT.format(bench=str(c.HERE))
    clients = []
    for k in range(8):
        windows = [(a, b) for kind, a, b in plan if kind == "eight" or (kind == "one" and k == 0)]
        clients.append(subprocess.Popen([sys.executable, "-c", script, endpoint, json.dumps(windows)],
                                        stdout=subprocess.PIPE, text=True))
    path = folder / "fdatasync.bench"
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
    syncs = 0
    try:
        os.write(fd, bytes(1 << 20))
        os.fsync(fd)
        for kind, a, b in plan:
            if kind == "sync":
                time.sleep(max(0.0, a - time.time()))
                syncs += fdatasyncs(fd, b)
    finally:
        os.close(fd)
        path.unlink()
    counts = [json.loads(p.communicate()[0]) for p in clients]
    one = sum(counts[0][r * 2] for r in range(rounds))
    eight = sum(sum(cl[r * 2 + 1] if i == 0 else cl[r] for r in range(rounds)) for i, cl in enumerate(counts))
    total = window * rounds
    return {"sync": syncs / total, "one": one / total, "eight": eight / total}


def durable(binary: str, seconds: float) -> dict[str, float]:
    """durable_rates() against a fresh Terminal, all clients on one account."""
    with c.Terminal(binary, settings=accounts_ini([7_100_000])) as terminal:
        Trader(terminal.endpoint).client.call(login_frame(7_100_000))
        return durable_rates(terminal.endpoint, terminal.data_folder, seconds)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--terminal", help="the terminal64 to measure (default: the bundled one)")
    parser.add_argument("--positions", default="0,1000,10000", help="open positions of each account measured")
    parser.add_argument("--calls", type=int, default=20, help="requests (buy-and-close pairs) per batch")
    parser.add_argument("--rounds", type=int, default=15, help="batches per account and way")
    parser.add_argument("--seconds", type=float, default=6.0, help="time given to each way of part 2")
    parser.add_argument("--cost-folder", help="where the Terminal of part 1 keeps its store (/dev/shm leaves "
                                              "the disk's sync time out of the cost)")
    args = parser.parse_args()
    binary = c.terminal_binary(args.terminal)
    sizes = [int(n) for n in args.positions.split(",")]
    print(f"terminal: {binary}")

    print("\norder_send with open positions (client and Terminal on one CPU):")
    costs = cost_per_position_count(binary, sizes, args.calls, args.rounds, args.cost_folder)
    base = costs[sizes[0]]
    print(f"\n{'open positions':>15} {'us/order_send':>14} {'ratio':>7} {'us/order_check':>15} {'ratio':>7}")
    for n, us in costs.items():
        print(f"{n:>15} {us['send']:>14.0f} {us['send'] / base['send']:>7.2f} {us['check']:>15.0f} "
              f"{us['check'] / base['check']:>7.2f}")

    print("\ndurable order_send/s (each committed with fdatasync before its reply):")
    rates = durable(binary, args.seconds)
    print(f"{'':>24} {'per s':>8} {'of fdatasync/s':>15}")
    for name, key in (("fdatasync, 4 KiB", "sync"), ("order_send, 1 client", "one"), ("order_send, 8 clients", "eight")):
        print(f"{name:>24} {rates[key]:>8.0f} {rates[key] / rates['sync']:>15.2f}")


if __name__ == "__main__":
    main()
