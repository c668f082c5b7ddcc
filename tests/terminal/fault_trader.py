"""A seeded stream of trade requests for the SIGKILL tests, and the book it
should leave.

`trade` sends requests chosen from its own view of its trades, each marked
with its `magic`: opens, partial and full closes, far pending orders and
their removal. Before each request it appends a "sent" entry to a log,
after each reply an "ack" entry with the result, so whoever kills the
Terminal knows exactly which trades were acknowledged and which one was in
flight. `replay` reads that log.
"""

from __future__ import annotations

import random

import terminal_client as tc

DEAL, PENDING, REMOVE = 1, 2, 5
BUY, SELL, BUY_LIMIT, SELL_LIMIT = 0, 1, 2, 3
DONE, PLACED = 1, 2
MAX_LOTS = 2.0  # keeps the demo account far from NO_MONEY


class Book:
    """Open positions (ticket -> [type, volume in 0.1 lots]) and pending
    order tickets, as the acknowledged results leave them."""

    def __init__(self) -> None:
        self.positions: dict[int, list[int]] = {}
        self.pending: set[int] = set()

    def apply(self, request: dict, retcode: int, order: int) -> None:
        """Applies one request that the Terminal answered with `retcode`,
        `order` being the ticket it created."""
        kind = request["kind"]
        if kind == "open" and retcode == DONE:
            self.positions[order] = [request["type"], request["tenths"]]
        elif kind in ("partial", "close") and retcode == DONE:
            held = self.positions[request["position"]]
            held[1] -= request["tenths"]
            if held[1] == 0:
                del self.positions[request["position"]]
        elif kind == "pending" and retcode == PLACED:
            self.pending.add(order)
        elif kind == "remove" and retcode == DONE:
            self.pending.discard(request["order"])


def choose(rng: random.Random, book: Book, bid: float, ask: float) -> tuple[dict, dict]:
    """(what the request does, the request's fields)."""
    lots = sum(v for _, v in book.positions.values()) / 10
    kinds = ["open", "pending"] if lots < MAX_LOTS else ["pending"]
    if book.positions:
        kinds += ["close", "partial"]
    if book.pending:
        kinds.append("remove")
    kind = rng.choice(kinds)
    if kind == "open":
        side, tenths = rng.choice((BUY, SELL)), rng.randint(1, 3)
        what = {"kind": kind, "type": side, "tenths": tenths}
        return what, dict(action=DEAL, symbol="EURUSD", type=side, volume=tenths / 10)
    if kind == "pending":
        # Far from the market: under the frozen clock it never triggers.
        side = rng.choice((BUY_LIMIT, SELL_LIMIT))
        price = round(ask - 0.02, 5) if side == BUY_LIMIT else round(bid + 0.02, 5)
        return {"kind": kind}, dict(action=PENDING, symbol="EURUSD", type=side, volume=0.1, price=price)
    if kind == "remove":
        order = rng.choice(sorted(book.pending))
        return {"kind": kind, "order": order}, dict(action=REMOVE, order=order)
    ticket = rng.choice(sorted(book.positions))
    side, held = book.positions[ticket]
    tenths = held if kind == "close" or held == 1 else rng.randint(1, held - 1)
    what = {"kind": "close" if tenths == held else "partial", "position": ticket, "tenths": tenths}
    return what, dict(action=DEAL, position=ticket, type=SELL if side == BUY else BUY, volume=tenths / 10)


def replay(log: list[dict]) -> tuple[Book, list[dict], dict | None]:
    """(book of the acknowledged results, the acknowledged entries, the
    request sent but not answered or None)."""
    book, acked, last = Book(), [], None
    for entry in list(log):
        if entry["event"] == "sent":
            last = entry
        else:
            book.apply(last["what"], entry["retcode"], entry["order"])
            acked.append(entry)
            last = None
    return book, acked, last


def trade(exe: str, seed: int, count: int, log: list[dict], magic: int) -> None:
    rng = random.Random(seed)
    book = Book()
    try:
        with tc.TerminalClient.connect(exe, timeout=1) as c:
            c.handshake()
            _, tick = c.symbol_info_tick("EURUSD")
            bid, ask = float(tick["bid"]), float(tick["ask"])
            for _ in range(count):
                what, request = choose(rng, book, bid, ask)
                log.append({"event": "sent", "what": what})
                r = c.order_send(**request, magic=magic)
                log.append({"event": "ack", "retcode": r["retcode"], "order": r["order"], "deal": r["deal"]})
                book.apply(what, r["retcode"], r["order"])
    except OSError:  # the Terminal was killed, perhaps before it listened
        return
