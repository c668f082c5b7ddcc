"""The stepped clock and imported ticks: command 900 moves the clock and
brings the account up to it, command 901 does so answering the bars that
closed and the account's funds; a symbol's own ticks are served exactly,
bars are built from them, and a bad tick file is refused."""

from __future__ import annotations

import os
import struct
from pathlib import Path

import numpy as np
import pytest
import host
import terminal_client as tc

CLOCK, STEP = 900, 901
T0 = 1_767_571_200_000  # Monday 2026-01-05 00:00 UTC
START = "2026-01-05T00:00:00Z"
HALF_HOUR = 1_800_000
BID, ASK, LAST, VOLUME = 1, 2, 4, 8
BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT = 0, 2, 4, 6
DEAL, PENDING = 1, 2
REASON_TP, ENTRY_IN, ENTRY_OUT = 5, 0, 1
M1, H1, D1 = 1, 60, 1440
ALL = 3


def clock(c: tc.TerminalClient, target: int, *symbols: str):
    """(result, (now_ms, next_ms) or None)."""
    args = struct.pack("<qI", target, len(symbols)) + b"".join(tc.wide(s) for s in symbols)
    result, payload = c.answer(CLOCK, args)
    return result, None if payload is None else struct.unpack("<qq", payload)


def step(c: tc.TerminalClient, target: int, timeframe: int, funds: int, *symbols: str):
    """(result, (now_ms, next_ms, funds before, funds after, [bars of each symbol]) or None)."""
    args = struct.pack("<qiII", target, timeframe, funds, len(symbols)) + b"".join(tc.wide(s) for s in symbols)
    result, payload = c.answer(STEP, args)
    if payload is None:
        return result, None
    now, following = struct.unpack_from("<qq", payload)
    at, bars = 64, []
    for _ in symbols:
        (count,) = struct.unpack_from("<I", payload, at)
        bars.append(np.frombuffer(payload, tc.BAR_DTYPE, count, at + 4))
        at += 4 + 60 * count
    assert at == len(payload), "the reply holds the counted bars and nothing more"
    return result, (now, following, struct.unpack_from("<3d", payload, 16), struct.unpack_from("<3d", payload, 40),
                    bars)


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
    # A step of 40 days is walked in stretches of at most 31: the take-profit
    # at the first hour's tick is seen, not skipped with the older ticks.
    pytest.param("EURUSD", "", quotes((0, 1.1, 1.1001), (3_600_000, 1.103, 1.1031), (7_200_000, 1.1, 1.1001),
                                      (40 * DAY, 1.1, 1.1001)),
                 dict(action=DEAL, type=BUY, volume=1.0, tp=1.103), 40 * DAY,
                 ((1, 1.1001), 1100.1, [(ENTRY_IN, 1.1001, 0.0, 0.0), (ENTRY_OUT, 1.103, 290.0, 0.0)], [], []),
                 id="40-day-step"),
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


HOUR = 2 * HALF_HOUR
FUNDS = ("balance", "equity", "margin")


# Steps one after the other (target, timeframe, flags: the funds asked and
# the step to the next bar): where the clock stands after each, the opening
# times of the bars it answers for RISING and MIXED (those whose last
# millisecond the step passed; never the bar in progress), and the next tick.
STEPS = [
    (T0 + HOUR - 1, H1, 3, T0 + HOUR - 1, [T0], [T0], T0 + HOUR),  # RISING's 00:00 and 00:30, MIXED's two minutes
    (T0 + HOUR + 300_000, H1, 1, T0 + HOUR + 300_000, [], [], T0 + HOUR + HALF_HOUR),  # within the 01:00 bar
    (T0 + 4 * HOUR - 1, H1, 2, T0 + 4 * HOUR - 1, [T0 + HOUR, T0 + 2 * HOUR, T0 + 3 * HOUR], [], T0 + 4 * HOUR),
    (T0 + 4 * HOUR + HALF_HOUR, M1, 3, T0 + 4 * HOUR + HALF_HOUR, [T0 + 4 * HOUR], [], T0 + 5 * HOUR),  # 04:30's minute
    (0, H1, 3, T0 + 4 * HOUR + HALF_HOUR, [], [], T0 + 5 * HOUR),  # stays: nothing closes
]
# With flag 4 the target is a bound: the clock goes to the end of the bar
# holding the next tick (MIXED's at 00:00:01 first), or stays.
TO_NEXT_BARS = [
    (T0 + 10 * HOUR, H1, 4 | 3, T0 + HOUR - 1, [T0], [T0], T0 + HOUR),
    (T0 + 2 * HOUR - 2, H1, 4 | 1, T0 + HOUR - 1, [], [], T0 + HOUR),  # the 01:00 bar ends after the bound
    (T0 + 2 * HOUR, M1, 4 | 2, T0 + HOUR + 59_999, [T0 + HOUR], [], T0 + HOUR + HALF_HOUR),
    (T0 + 10 * HOUR, H1, 4, T0 + 2 * HOUR - 1, [T0 + HOUR], [], T0 + 2 * HOUR),  # the rest of the hour
    (T0 + 10 * HOUR, D1, 4, T0 + 2 * HOUR - 1, [], [], T0 + 2 * HOUR),  # the day ends after the bound
    (T0 + 6 * HOUR - 1, H1, 0, T0 + 6 * HOUR - 1, [T0 + k * HOUR for k in range(2, 6)], [], -1),
    (T0 + 10 * HOUR, H1, 4 | 1, T0 + 6 * HOUR - 1, [], [], -1),  # no tick follows
]


# A lot bought at 1.1001 (2.50 commission): the bid 1.1000 at 00:00, 1.1045 at 04:30.
@pytest.mark.parametrize("steps, last_after", [(STEPS, (9997.5, 10437.5, 1100.1)), (TO_NEXT_BARS, (0.0,) * 3)],
                         ids=["to-targets", "to-next-bars"])
def test_a_step_answers_the_bars_that_closed_and_the_account(stepped, steps, last_after):
    with stepped.client() as c:
        assert c.order_send(action=DEAL, symbol="RISING", volume=1.0, type=BUY)["retcode"] == 1
        answered = []
        for target, timeframe, asked, at, rising, mixed, following in steps:
            was = tuple(c.account_info()[k] for k in FUNDS)
            result, (now, next_ms, before, after, bars) = step(c, target, timeframe, asked, "RISING", "MIXED")
            funds = tuple(c.account_info()[k] for k in FUNDS)
            assert (result, now, next_ms) == (tc.SUCCESS, at, following)
            assert [list(b["time"] * 1000) for b in bars] == [rising, mixed]
            assert (before, after) == (was if asked & 1 else (0.0,) * 3, funds if asked & 2 else (0.0,) * 3)
            # What copy_rates serves for those bars at the new clock, byte for byte.
            for symbol, got in zip(("RISING", "MIXED"), bars):
                if len(got):
                    served = c.rates_range(symbol, timeframe, int(got["time"][0]), int(got["time"][-1]))[1]
                    assert served.tobytes() == got.tobytes()
            answered.append((before, after))
    assert answered[0][0] == (9997.5, 9987.5, 1100.1) and answered[-1][1] == last_after


def step_args(target: int, timeframe: int = H1, funds: int = 3, *symbols: str) -> bytes:
    return struct.pack("<qiII", target, timeframe, funds, len(symbols)) + b"".join(tc.wide(s) for s in symbols)


# Command 901 refuses as 900 does, and moves nothing then; an answer larger
# than a response may be (here 1 MiB: twenty days of minute bars) is refused
# before the clock moves.
@pytest.mark.parametrize("options, args, expected", [
    ((), step_args(T0 + 1), tc.UNSUPPORTED),
    (("--step",), step_args(T0 - 1), tc.INVALID_PARAMS),
    (("--step",), step_args(T0 + 1, 7), tc.INVALID_PARAMS),
    (("--step",), step_args(T0 + 1, H1, 8), tc.INVALID_PARAMS),
    (("--step",), step_args(T0 + 1, H1, 3, "RISING") + b"\0", tc.INVALID_PARAMS),
    (("--step",), step_args(T0 + 1, H1, 3, "RISING")[:-2], tc.INVALID_PARAMS),
    (("--step",), step_args(T0 + 1, H1, 3, "RISING", "NOPE"), tc.NOT_FOUND),
    (("--step", "--max-response-mb", "1"), step_args(T0 + 20 * DAY, M1, 0, "EURUSD"), tc.OUT_OF_MEMORY),
], ids=["no-step", "back", "timeframe", "flags", "trailing", "short", "unknown", "too-large"])
def test_refused_901_steps_move_nothing(installation, options, args, expected):
    install(installation.install, "RISING", tick_file(RISING))
    t = installation.start("/portable", "--clock", START, *options, now=None)
    with t.client() as c:
        assert c.answer(STEP, args) == (expected, None)
        if "--step" in options:
            result, answer = step(c, 0, H1, 0)
            assert (result, answer[0]) == (tc.SUCCESS, T0)


# The next tick answered is the earliest among the named symbols' next
# ticks (-1 when none follows); with no names, among all the catalogue's.
@pytest.mark.parametrize("target, symbols, expected", [
    (T0 + 60_000, ("RISING", "MIXED"), T0 + 61_000),
    (T0 + 60_000, ("MIXED", "RISING"), T0 + 61_000),
    (T0 + 61_000, ("MIXED", "RISING"), T0 + HALF_HOUR),
    (T0 + 11 * HALF_HOUR, ("MIXED", "RISING"), -1),
], ids=["earlier-second", "earlier-first", "one-has-none", "none-follows"])
def test_a_step_answers_the_earliest_next_tick(stepped, target, symbols, expected):
    with stepped.client() as c:
        assert clock(c, target, *symbols) == (tc.SUCCESS, (target, expected))
        names = [info["name"] for info in c.symbols_get()[1]]
        each = [clock(c, 0, name)[1][1] for name in names]
        assert clock(c, 0) == (tc.SUCCESS, (target, min(t for t in each if t >= 0)))


# The model's latest quote at any clock is the last tick its history holds up
# to that clock, flags and the carried last price included, whether the
# clock stands on a minute's last millisecond, its first or inside it; a
# step's lone M1 bar is the bar copy_rates serves. EURUSD quotes only,
# BTCUSD and US500 (in its session, from 13:30) also trade.
def test_the_latest_model_quote_is_the_last_tick_of_history(stepped):
    minutes = [61, 63, 300, 811, 813, 1000, 1199]
    targets = sorted({T0 + m * 60_000 + at for m in minutes for at in (0, 17_345, 59_999)})
    with stepped.client() as c:
        for target in targets:
            assert clock(c, target)[0] == tc.SUCCESS
            in_session = target >= T0 + 811 * 60_000
            for symbol in ("EURUSD", "BTCUSD") + (("US500",) if in_session else ()):
                result, history = c.ticks_range(symbol, target - HOUR, target, ALL)
                assert result == tc.SUCCESS and len(history) > 0, (symbol, target)
                assert c.symbol_info_tick(symbol)[1].tobytes() == history[-1].tobytes(), (symbol, target)
            if target % 60_000 != 59_999:
                continue
            # On to the end of the next minute's bar.
            result, (now, _, _, _, (bars,)) = step(c, T0 + DAY, M1, 4 | 2, "EURUSD")
            assert result == tc.SUCCESS and len(bars) == 1
            served = c.rates_range("EURUSD", M1, int(bars["time"][0]), int(bars["time"][0]))[1]
            assert (now, served.tobytes()) == ((bars["time"][0] + 60) * 1000 - 1, bars.tobytes())


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


def huge(folder: Path) -> None:
    """A sparse tick file of 200 million records, as its header says."""
    with open(folder / "ticks.qvt", "wb") as f:
        f.write(tick_file(MIXED, count=200_000_000)[:64])
        f.truncate(64 + 200_000_000 * 60)


# Nothing but regular files inside the symbol's folder is read: a pipe would
# hold the start (and the store's lock) for ever, a link reads what lies
# outside, and a file's size is checked before memory is taken for it.
@host.posix_only("named pipes, symbolic links and sparse files")
@pytest.mark.parametrize("spoil, file, fault", [
    (lambda f, away: os.mkfifo(f / "ticks.qvt"), "ticks.qvt", "a named pipe, not a regular file"),
    (lambda f, away: os.mkfifo(f / "symbol.ini"), "symbol.ini", "a named pipe, not a regular file"),
    (lambda f, away: (f / "ticks.qvt").symlink_to(away / "ticks.qvt"), "ticks.qvt",
     "a symbolic link; only regular files inside the symbol's folder are read"),
    (lambda f, away: (f / "ticks.qvt").symlink_to("/dev/zero"), "ticks.qvt",
     "a symbolic link; only regular files inside the symbol's folder are read"),
    (lambda f, away: f.symlink_to(away, target_is_directory=True), "",
     "a symbolic link; only folders inside QSL/custom are read"),
    (lambda f, away: huge(f), "ticks.qvt", "the header counts 200000000 records; this Terminal reads at most "
                                          "100000000"),
], ids=["pipe-ticks", "pipe-ini", "linked-ticks", "dev-zero", "linked-folder", "huge"])
def test_only_regular_files_inside_the_folder_are_read(installation, spoil, file, fault):
    away = install(installation.root / "away", "MIXED", tick_file(MIXED)).parent
    folder = install(installation.install, "MIXED", tick_file(MIXED)).parent
    for part in [folder / file] if file else [*folder.iterdir(), folder]:
        part.unlink() if part.is_file() else part.rmdir()
    spoil(folder, away)
    install(installation.install, "RISING", tick_file(RISING))
    t = installation.start("/portable", "--clock", START, "--step", now=None)
    with t.client() as c:
        assert c.symbol_info("MIXED")[0] == tc.NOT_FOUND
        assert c.symbol_info("RISING")[0] == tc.SUCCESS
    path = folder / file if file else folder
    assert f"terminal64: {path}: {fault}; the symbol MIXED is left out\n" in t.stderr(), t.stderr()
