"""SIGKILL of the Terminal at a seeded point of a stream of trade requests:
after the restart every acknowledged trade is there, the one in flight is
wholly there or wholly absent, and the books add up."""

from __future__ import annotations

import concurrent.futures
import random
import time

import pytest

import fault_trader as ft
import terminal_client as tc
from test_trading import WED_NOON, assert_books_agree, at

REQUESTS = 40
ENTRY_IN, ENTRY_OUT = 0, 1
STATE_CANCELED = 2
DEAL_BALANCE = 2


def kill_after(t, log: list, entries: int, trader: concurrent.futures.Future) -> None:
    """Kills the Terminal (SIGKILL; on Windows TerminateProcess) once the
    trader's log holds `entries` entries (an odd count leaves a request in
    flight), or once the trader has ended."""
    deadline = time.monotonic() + 60
    while len(log) < entries and not trader.done() and time.monotonic() < deadline:
        time.sleep(0.001)
    t.proc.kill()  # SIGKILL, or TerminateProcess on Windows
    t.proc.wait()


def state(c: tc.TerminalClient):
    positions = {p["ticket"]: [p["type"], round(p["volume"] * 10)] for p in c.positions()}
    pending = {o["ticket"] for o in c.orders()}
    history = {o["ticket"]: o for o in c.history_orders()}
    deals = [d for d in c.history_deals() if d["type"] != DEAL_BALANCE]
    return positions, pending, history, deals


@pytest.mark.parametrize("seed", range(6))
def test_sigkill_during_a_trade_stream_keeps_whole_trades(launch, seed):
    # Seed 0 kills at once: the empty case, or a trade before the first ack.
    target = random.Random(seed).randrange(0, 2 * REQUESTS) if seed else 0
    t = launch(now=at(WED_NOON))
    log: list[dict] = []
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        trader = pool.submit(ft.trade, t.exe, seed, REQUESTS, log)
        kill_after(t, log, target, trader)
        trader.result(timeout=30)
    book, acked, in_flight = ft.replay(log)
    where = f"seed {seed}, killed at log entry {target}, {len(acked)} acknowledged, in flight: {in_flight}"

    t.start(now=at(WED_NOON))
    with t.client() as c:
        c.handshake()
        positions, pending, history, deals = state(c)
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
            expected = book.copy()
            expected.apply(what, ft.PLACED if what["kind"] == "pending" else ft.DONE, (new_orders or [0])[0])
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
        assert_books_agree(c)


def test_concurrent_clients_keep_every_acknowledged_trade_across_sigkill(launch):
    """Clients trading at once, their trades committed in shared groups, the
    Terminal killed among them: every acknowledged trade survives with its
    tickets, in order, plus at most one in flight per client; the books add up."""
    t = launch(now=at(WED_NOON))
    clients, kill_at = 6, 150
    acked: list[list[int]] = [[] for _ in range(clients)]  # order, deal, order, deal, ...
    refused: list[dict] = []

    def trade(k: int) -> None:
        volume = 0.01 * (k + 1)
        try:
            with tc.TerminalClient.connect(t.exe) as c:
                c.handshake()
                while True:
                    buy = c.order_send(action=1, symbol="EURUSD", volume=volume, type=0)
                    if buy["retcode"] != ft.DONE:
                        return refused.append(buy)
                    acked[k] += [buy["order"], buy["deal"]]
                    close = c.order_send(action=1, symbol="EURUSD", volume=volume, type=1, position=buy["order"])
                    if close["retcode"] != ft.DONE:
                        return refused.append(close)
                    acked[k] += [close["order"], close["deal"]]
        except (OSError, EOFError, AssertionError):
            return  # the Terminal was killed

    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        runs = [pool.submit(trade, k) for k in range(clients)]
        deadline = time.monotonic() + 60
        while sum(map(len, acked)) < 2 * kill_at and time.monotonic() < deadline and not refused:
            time.sleep(0.001)
        t.proc.kill()
        t.proc.wait()
        for r in runs:
            r.result()
    assert refused == []
    assert all(mine == sorted(mine) for mine in acked)
    orders = {x for mine in acked for x in mine[0::2]}
    deals = {x for mine in acked for x in mine[1::2]}
    assert len(orders) + len(deals) == sum(map(len, acked)) >= 2 * kill_at

    t.start(now=at(WED_NOON))
    with t.client() as c:
        c.handshake()
        positions, _, history, stored_deals = state(c)
        assert orders <= set(history) and deals <= {d["ticket"] for d in stored_deals}
        in_flight = set(history) - orders
        assert len(in_flight) <= clients
        assert {d["order"] for d in stored_deals if d["ticket"] not in deals} == in_flight
        assert_books_agree(c)
