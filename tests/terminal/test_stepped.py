"""The stepped clock and imported ticks: command 900 moves the clock and
brings the account up to it; a symbol's own ticks are served exactly, bars
are built from them, and a bad tick file is refused."""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np
import pytest
import terminal_client as tc

CLOCK = 900
T0 = 1_767_571_200_000  # Monday 2026-01-05 00:00 UTC
START = "2026-01-05T00:00:00Z"
HALF_HOUR = 1_800_000
BID, ASK, LAST, VOLUME = 1, 2, 4, 8
BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT = 0, 2, 4, 6
DEAL, PENDING = 1, 2
REASON_TP, ENTRY_IN, ENTRY_OUT = 5, 0, 1
M1, H1 = 1, 60
ALL = 3


def clock(c: tc.TerminalClient, target: int, *symbols: str):
    """(result, (now_ms, next_ms) or None)."""
    args = struct.pack("<qI", target, len(symbols)) + b"".join(tc.wide(s) for s in symbols)
    result, payload = c.answer(CLOCK, args)
    return result, None if payload is None else struct.unpack("<qq", payload)


def records(rows) -> np.ndarray:
    """Tick records of (time_msc, bid, ask, last, volume_real) rows, flags and
    whole volumes as the market model derives them."""
    out = np.zeros(len(rows), dtype=tc.TICK_DTYPE)
    last_price = 0.0
    for i, (ms, bid, ask, last, size) in enumerate(rows):
        flags = (BID if i == 0 or bid != rows[i - 1][1] else 0) | (ASK if i == 0 or ask != rows[i - 1][2] else 0)
        flags |= (VOLUME if size > 0 else 0) | (LAST if last and last != last_price else 0)
        last_price = last or last_price
        out[i] = (ms // 1000, bid, ask, last, max(1, int(size + 0.5)) if size > 0 else 0, ms, flags, size)
    return out


def tick_file(ticks: np.ndarray, count: int | None = None) -> bytes:
    head = struct.pack("<8sIIQqq", b"QVNTICKS", 1, 60, len(ticks) if count is None else count,
                       int(ticks["time_msc"][0]), int(ticks["time_msc"][-1]))
    return head.ljust(64, b"\0") + ticks.tobytes()


def install(folder: Path, name: str, data: bytes, like: str = "EURUSD", terms: str = "") -> Path:
    target = folder / "QSL" / "custom" / name
    target.mkdir(parents=True, exist_ok=True)
    (target / "symbol.ini").write_text(f"[Symbol]\nlike={like}\n{terms}")
    (target / "ticks.qvt").write_bytes(data)
    return target / "ticks.qvt"


# Every half hour the bid rises five pips; the spread is a pip.
RISING = records([(T0 + i * HALF_HOUR, round(1.1 + 0.0005 * i, 5), round(1.1001 + 0.0005 * i, 5), 0.0, 0.0)
                  for i in range(12)])
# Quotes and deals within two minutes, several in one millisecond.
MIXED = records([
    (T0 + 1_000, 1.2000, 1.2002, 0.0, 0.0),
    (T0 + 1_000, 1.2000, 1.2002, 1.2001, 2.4),
    (T0 + 20_500, 1.2003, 1.2004, 0.0, 0.0),
    (T0 + 20_500, 1.2003, 1.2004, 1.2001, 0.5),
    (T0 + 59_999, 1.1998, 1.2001, 1.2003, 3.0),
    (T0 + 60_000, 1.1999, 1.2001, 0.0, 0.0),
    (T0 + 61_000, 1.2005, 1.2009, 0.0, 0.0),
])
# The fifth tick set back before the ticks ahead of it.
BACKWARDS = MIXED.copy()
BACKWARDS["time_msc"][4], BACKWARDS["time"][4] = T0, T0 // 1000


@pytest.fixture
def stepped(installation):
    """A portable Terminal with the imported symbols RISING and MIXED, its
    clock stepped from T0."""
    install(installation.install, "RISING", tick_file(RISING))
    install(installation.install, "MIXED", tick_file(MIXED))
    return installation.start("/portable", "--clock", START, "--step", now=None)


def test_a_step_fills_a_pending_order_and_a_take_profit_inside_it(stepped):
    with stepped.client() as c:
        assert clock(c, 0, "RISING") == (tc.SUCCESS, (T0, T0 + HALF_HOUR))
        buy = c.order_send(action=DEAL, symbol="RISING", volume=1.0, type=BUY, tp=1.1030)
        stop = c.order_send(action=PENDING, symbol="RISING", volume=0.5, type=BUY_STOP, price=1.1021)
        assert (buy["retcode"], buy["price"], stop["retcode"]) == (1, 1.1001, 2)
        # Between steps nothing moves.
        assert c.symbol_info_tick("RISING")[1]["time_msc"] == T0 and len(c.orders()) == 1
        assert clock(c, T0 + 8 * HALF_HOUR - 1, "RISING") == (tc.SUCCESS, (T0 + 8 * HALF_HOUR - 1, T0 + 8 * HALF_HOUR))
        deals = [(d["time_msc"], d["entry"], d["reason"], d["volume"], d["price"], d["profit"], d["comment"])
                 for d in c.history_deals() if d["symbol"] == "RISING"]
        assert deals == [
            (T0, ENTRY_IN, 3, 1.0, 1.1001, 0.0, ""),
            (T0 + 4 * HALF_HOUR, ENTRY_IN, 3, 0.5, 1.1021, 0.0, ""),         # the stop at 02:00's ask
            (T0 + 6 * HALF_HOUR, ENTRY_OUT, REASON_TP, 1.0, 1.103, 290.0, "[tp]"),  # 03:00's bid
        ]
        assert c.orders() == [] and [p["volume"] for p in c.positions()] == [0.5]
        assert c.symbol_info_tick("RISING")[1]["bid"] == 1.1035  # 03:30, the last tick before now


def quotes(*rows) -> np.ndarray:
    """Quote ticks of (ms after T0, bid, ask) rows."""
    return records([(T0 + ms, bid, ask, 0.0, 0.0) for ms, bid, ask in rows])


DAY = 86_400_000
# A jump within one millisecond: the stop is reached at the second tick,
# whose ask is above the limit; the first tick's is below it.
JUMP = quotes((0, 1.0989, 1.0990), (5000, 1.0999, 1.1000), (5000, 1.1009, 1.1010), (6000, 1.1010, 1.1011),
              (7000, 1.1011, 1.1012))


# One trade on an imported symbol, then a step: (send retcode and price,
# margin after the send), then the symbol's deals (entry, price, profit,
# swap), positions (price_open, swap, profit) and pending orders (type,
# price_open) at the step's end.
@pytest.mark.parametrize("like, terms, ticks, request_, step_to, expected", [
    # A contract of 0.1: 1 lot from 50 001 to 51 000 makes 99.90, on a margin of 50.00.
    pytest.param("BTCUSD", "contract_size=0.1\n", quotes((0, 50000.0, 50001.0), (5000, 51000.0, 51001.0)),
                 dict(action=DEAL, type=BUY, volume=1.0, tp=51000.0), 6000,
                 ((1, 50001.0), 50.0, [(ENTRY_IN, 50001.0, 0.0, 0.0), (ENTRY_OUT, 51000.0, 99.9, 0.0)], [], []),
                 id="contract-0.1"),
    # One night's swap is -6.78 whatever the digits: swap points x point x contract.
    pytest.param("EURUSD", "digits=7\n", quotes((0, 1.1, 1.100001), (DAY + 3_600_000, 1.1, 1.100001)),
                 dict(action=DEAL, type=BUY, volume=1.0), DAY + 3_600_000,
                 ((1, 1.100001), 1100.0, [(ENTRY_IN, 1.100001, 0.0, 0.0)], [(1.100001, -6.78, -0.1)], []),
                 id="swap-digits-7"),
    pytest.param("EURUSD", "digits=8\n", quotes((0, 1.1, 1.1000001), (DAY + 3_600_000, 1.1, 1.1000001)),
                 dict(action=DEAL, type=BUY, volume=1.0), DAY + 3_600_000,
                 ((1, 1.1000001), 1100.0, [(ENTRY_IN, 1.1000001, 0.0, 0.0)], [(1.1000001, -6.78, -0.01)], []),
                 id="swap-digits-8"),
    # The limit placed at the second tick of a millisecond waits for an ask
    # at or under it after that tick; at its own price it fills at that tick.
    pytest.param("EURUSD", "", JUMP,
                 dict(action=PENDING, type=BUY_STOP_LIMIT, volume=1.0, price=1.1005, stoplimit=1.1002), 8000,
                 ((2, 1.1005), 0.0, [], [], [(BUY_LIMIT, 1.1002)]), id="same-ms-limit-waits"),
    pytest.param("EURUSD", "", JUMP,
                 dict(action=PENDING, type=BUY_STOP_LIMIT, volume=1.0, price=1.101, stoplimit=1.101), 8000,
                 ((2, 1.101), 0.0, [(ENTRY_IN, 1.101, 0.0, 0.0)], [(1.101, 0.0, 10.0)], []),
                 id="same-ms-limit-fills"),
    # A quote between two points trades at the nearest: the send reports the deal's price.
    pytest.param("EURUSD", "", quotes((0, 1.100004, 1.100016), (5000, 1.100004, 1.100016)),
                 dict(action=DEAL, type=BUY, volume=1.0), 6000,
                 ((1, 1.10002), 1100.02, [(ENTRY_IN, 1.10002, 0.0, 0.0)], [(1.10002, 0.0, -2.0)], []),
                 id="off-grid-fill"),
])
def test_a_trade_on_imported_terms_and_ticks(installation, like, terms, ticks, request_, step_to, expected):
    install(installation.install, "MINE", tick_file(ticks), like=like, terms=terms)
    t = installation.start("/portable", "--clock", START, "--step", now=None)
    with t.client() as c:
        sent = c.order_send(symbol="MINE", **request_)
        margin = c.account_info()["margin"]
        assert clock(c, T0 + step_to)[0] == tc.SUCCESS
        got = ((sent["retcode"], sent["price"]), margin,
               [(d["entry"], d["price"], d["profit"], d["swap"]) for d in c.history_deals() if d["symbol"] == "MINE"],
               [(p["price_open"], p["swap"], p["profit"]) for p in c.positions()],
               [(o["type"], o["price_open"]) for o in c.orders()])
    assert got == expected


@pytest.mark.parametrize("step, target, symbols, expected", [
    (False, T0 + 1, (), tc.UNSUPPORTED),
    (True, T0 - 1, (), tc.INVALID_PARAMS),
    (True, 0, ("RISING", "NOPE"), tc.NOT_FOUND),
])
def test_refused_steps_move_nothing(installation, step, target, symbols, expected):
    install(installation.install, "RISING", tick_file(RISING))
    t = installation.start("/portable", "--clock", START, *(["--step"] if step else []), now=None)
    with t.client() as c:
        assert clock(c, target, *symbols) == (expected, None)
        if step:
            result, (now, _) = clock(c, 0)
            assert (result, now) == (tc.SUCCESS, T0)


def test_imported_ticks_are_served_exactly_up_to_the_clock(stepped):
    with stepped.client() as c:
        assert clock(c, T0 + 60_000, "MIXED") == (tc.SUCCESS, (T0 + 60_000, T0 + 61_000))
        # Each copy flag's selection: tests/cpp/test_terminal_imported.cpp.
        result, got = c.ticks_range("MIXED", 0, T0 + 10**9, ALL)
        seen = MIXED[MIXED["time_msc"] <= T0 + 60_000]
        assert (result, got.tobytes()) == (tc.SUCCESS, seen.tobytes())
        assert c.ticks_from("MIXED", T0 + 20_500, 2, ALL)[1].tobytes() == MIXED[2:4].tobytes()
        # The minute in progress counts to the clock; the hour bar holds both minutes so far.
        _, m1 = c.rates_range("MIXED", M1, T0 // 1000, T0 // 1000 + 3600)
        assert m1.tolist() == [(T0 // 1000, 1.2, 1.2003, 1.1998, 1.1998, 5, 10, 6),
                               (T0 // 1000 + 60, 1.1999, 1.1999, 1.1999, 1.1999, 1, 20, 0)]
        _, h1 = c.rates_from_pos("MIXED", H1, 0, 1)
        assert h1.tolist() == [(T0 // 1000, 1.2, 1.2003, 1.1998, 1.1999, 6, 10, 6)]
        info = c.symbol_info("MIXED")[1]
        assert (info["custom"], info["path"], info["digits"], info["bid"]) == (1, "Custom\\MIXED", 5, 1.1999)


# Each fault the file check names: tests/cpp/test_terminal_imported.cpp.
@pytest.mark.parametrize("name, file, data, terms, fault", [
    ("MIXED", "ticks.qvt", tick_file(BACKWARDS), "",
     "record 5: time_msc 1767571200000 is before the previous tick's"),
    ("MIXED", "ticks.qvt", tick_file(MIXED, count=8), "", "the header counts 8 records, the file holds 7"),
    ("MIXED", "ticks.qvt", b"time_msc,bid,ask\n" * 8, "", "not a tick file (no QVNTICKS header)"),
    ("EURUSD", "", tick_file(MIXED), "", "the catalogue has a symbol of that name"),
    # Money is exact for contracts of whole 10^-8 units.
    ("MIXED", "symbol.ini", tick_file(MIXED), "contract_size=1.000000001\n",
     "contract_size=1.000000001 has more than 8 decimals"),
])
def test_a_bad_tick_file_leaves_its_symbol_out(installation, name, file, data, terms, fault):
    folder = install(installation.install, name, data, terms=terms).parent
    install(installation.install, "RISING", tick_file(RISING))
    t = installation.start("/portable", "--clock", START, "--step", now=None)
    with t.client() as c:
        result, info = c.symbol_info(name)
        assert result == tc.NOT_FOUND or info["custom"] == 0
        assert c.symbol_info("RISING")[0] == tc.SUCCESS
    path = folder / file if file else folder
    assert f"terminal64: {path}: {fault}; the symbol {name} is left out\n" in t.stderr(), t.stderr()
