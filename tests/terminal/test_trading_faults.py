"""SIGKILL of the Terminal at a seeded point of streams of trade requests
from clients trading at once (their trades committed in shared groups):
after the restart every acknowledged trade is there, each client's trade in
flight is wholly there or wholly absent, and the books add up."""

from __future__ import annotations

import concurrent.futures
import copy
import random
import time

import pytest

import fault_trader as ft
import terminal_client as tc
from test_trading import WED_NOON

REQUESTS, TRADERS = 40, 3
ENTRY_IN, ENTRY_OUT, DEAL_BALANCE, STATE_CANCELED, STATE_FILLED = 0, 1, 2, 2, 4


def cents(x: float) -> int:
    return round(x * 100)


def assert_books_agree(c: tc.TerminalClient) -> None:
    """Balance is the sum of every deal's money; equity adds the open
    positions' profit and swap; every history order that filled has its
    deals."""
    deals = c.history_deals()
    account = c.account_info()
    money = sum(cents(d["profit"]) + cents(d["commission"]) + cents(d["swap"]) for d in deals)
    assert cents(account["balance"]) == money
    open_money = sum(cents(p["profit"]) + cents(p["swap"]) for p in c.positions())
    assert cents(account["equity"]) == cents(account["balance"]) + open_money
    deal_orders = {d["order"] for d in deals}
    for o in c.history_orders():
        if o["state"] == STATE_FILLED and o["type"] in (ft.BUY, ft.SELL):
            assert o["ticket"] in deal_orders


def kill_after(t, logs: list[list], entries: int, traders: list) -> None:
    """Kills the Terminal (SIGKILL; on Windows TerminateProcess) once the
    traders' logs hold `entries` entries between them, or once every trader
    has ended."""
    deadline = time.monotonic() + 60
    while sum(map(len, logs)) < entries and time.monotonic() < deadline:
        if all(f.done() for f in traders):
            break
        time.sleep(0.001)
    t.proc.kill()  # SIGKILL, or TerminateProcess on Windows
    t.proc.wait()


def state(c: tc.TerminalClient, magic: int):
    """The records of one trader, who marks its requests with `magic`."""
    positions = {p["ticket"]: [p["type"], round(p["volume"] * 10)] for p in c.positions()
                 if p["magic"] == magic}
    pending = {o["ticket"] for o in c.orders() if o["magic"] == magic}
    history = {o["ticket"]: o for o in c.history_orders() if o["magic"] == magic}
    deals = [d for d in c.history_deals() if d["type"] != DEAL_BALANCE and d["magic"] == magic]
    return positions, pending, history, deals


@pytest.mark.parametrize("seed", range(6))
def test_sigkill_during_trade_streams_keeps_whole_trades(launch, seed):
    # Seed 0 kills at once: the empty case, or a trade before the first ack.
    target = random.Random(seed).randrange(0, 2 * REQUESTS * TRADERS) if seed else 0
    t = launch(now=str(WED_NOON))
    logs: list[list[dict]] = [[] for _ in range(TRADERS)]
    with concurrent.futures.ThreadPoolExecutor(TRADERS) as pool:
        traders = [pool.submit(ft.trade, t.exe, TRADERS * seed + k, REQUESTS, logs[k], k)
                   for k in range(TRADERS)]
        kill_after(t, logs, target, traders)
        for trader in traders:
            trader.result(timeout=30)

    t.start(now=str(WED_NOON))
    with t.client() as c:
        c.handshake()
        for k, log in enumerate(logs):
            book, acked, in_flight = ft.replay(log)
            where = (f"seed {seed}, trader {k}, killed at log entry {target}, "
                     f"{len(acked)} acknowledged, in flight: {in_flight}")
            check_trader(*state(c, k), book, acked, in_flight, where)
        assert_books_agree(c)


def check_trader(positions, pending, history, deals, book, acked, in_flight, where) -> None:
    """Every trade a trader saw acknowledged is there; the one in flight is
    whole or absent."""
    tickets = set(history) | pending
    made = [a for a in acked if a["retcode"] in (ft.DONE, ft.PLACED)]
    assert {a["order"] for a in made} <= tickets, where
    assert {a["deal"] for a in made if a["deal"]} <= {d["ticket"] for d in deals}, where

    # Anything not acknowledged is the request in flight, whole or absent.
    new_orders = sorted(tickets - {a["order"] for a in acked})
    new_deals = [d for d in deals if d["ticket"] not in {a["deal"] for a in acked}]
    expected = book
    if in_flight is not None and (positions, pending) != (book.positions, book.pending):
        what = in_flight["what"]
        assert len(new_orders) == (0 if what["kind"] == "remove" else 1), where
        assert len(new_deals) == (1 if what["kind"] in ("open", "partial", "close") else 0), where
        assert all(d["order"] == new_orders[0] for d in new_deals), where
        if what["kind"] == "remove":
            assert history[what["order"]]["state"] == STATE_CANCELED, where
        expected = copy.deepcopy(book)
        done = ft.PLACED if what["kind"] == "pending" else ft.DONE
        expected.apply(what, done, (new_orders or [0])[0])
    else:
        assert new_orders == [] and new_deals == [], where
    assert (positions, pending) == (expected.positions, expected.pending), where

    # Each position is what its deals leave; each deal has its order.
    net: dict[int, int] = {}
    for d in deals:
        assert d["order"] in history, where
        sign = {ENTRY_IN: 1, ENTRY_OUT: -1}[d["entry"]]
        net[d["position_id"]] = net.get(d["position_id"], 0) + sign * round(d["volume"] * 10)
    assert {k: v for k, v in net.items() if v} == {k: v for k, (_, v) in positions.items()}, where
