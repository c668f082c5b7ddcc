"""quorvane.live's watchers: against the bundled Terminal's clock, and against
a scripted tick source for what that Terminal never does (several ticks in
one millisecond, late arrivals, failures)."""

import asyncio
import json

import numpy as np
import pytest
from bundled import MOVING, NOW, running_terminal
from terminal_client import TICK_DTYPE

import quorvane as qv
from quorvane import aio, live
from quorvane.live import TradeCursor, watch_bars, watch_ticks, watch_trades


def test_live_only_streams_are_whole(private_folders, terminal_binary, core):
    """Live only, against the moving clock: ticks in small batches (most
    polls full, seconds split between polls), then closed bars; each joined
    equals one history read of the period it covers. From a start point the
    same streams are checked across a restart (test_reconnect)."""

    with running_terminal(private_folders, terminal_binary, core, *MOVING):
        seen = {"EURUSD": [], "BTCUSD": []}
        stream = watch_ticks(tuple(seen), poll_interval=0.02, batch=5)
        for symbol, part in stream:
            assert len(part) and np.all(np.diff(part["time_msc"]) >= 0)
            seen[symbol].append(part)
            # Five minutes of market time, never wall time: however slow the
            # machine, the clock gets there.
            if all(p and p[-1]["time_msc"][-1] - p[0]["time_msc"][0] >= 300_000
                   for p in seen.values()):
                break
        stream.close()
        for symbol, parts in seen.items():
            got = np.concatenate(parts)
            start, last = int(got["time_msc"][0]), int(got["time_msc"][-1])
            assert start >= NOW * 1000
            whole = core.copy_ticks_range(symbol, start // 1000, last // 1000 + 1, 3)
            whole = whole[(whole["time_msc"] >= start) & (whole["time_msc"] <= last)]
            assert len(got) == len(whole) > 50
            assert got.tobytes() == whole.tobytes(), symbol

        stream, parts = watch_bars("EURUSD", 1, poll_interval=0.02), []
        while sum(map(len, parts)) < 15:  # market minutes, not wall time
            parts.append(next(stream))
        stream.close()
        got = np.concatenate(parts)
        assert got["time"][0] >= NOW and np.all(np.diff(got["time"]) == 60)
        # Closed bars do not change: one read of the period now gives the same bytes.
        whole = core.copy_rates_range("EURUSD", 1, int(got["time"][0]), int(got["time"][-1]))
        assert got.tobytes() == whole.tobytes()


# ------------------------------------------------------------ scripted source

def ticks(*rows):
    """Ticks from (time_msc, bid) pairs."""
    out = np.zeros(len(rows), TICK_DTYPE)
    for i, (msc, bid) in enumerate(rows):
        out[i]["time"], out[i]["time_msc"], out[i]["bid"], out[i]["flags"] = msc // 1000, msc, bid, 2
    return out


class ScriptedSource:
    """Stands in for the module: each copy_ticks_from call first lets the next
    arrival in (merged by time, after the ticks of equal time), then answers
    like the Terminal: ticks from a whole second on, at most `count`."""

    def __init__(self, arrivals, fail_at=None, interrupt_at=None, initial=ticks()):
        self.arrivals = list(arrivals)
        self.stream = initial
        self.calls = 0
        self.fail_at, self.interrupt_at = fail_at, interrupt_at

    def copy_ticks_from(self, symbol, from_s, count, flags):
        self.calls += 1
        assert self.calls < 500, "the generator stalls"
        if self.calls == self.interrupt_at:
            raise KeyboardInterrupt
        if self.calls == self.fail_at:
            return None
        if self.arrivals:
            self.stream = np.concatenate([self.stream, self.arrivals.pop(0)])
            self.stream = self.stream[np.argsort(self.stream["time_msc"], kind="stable")]
        return self.stream[self.stream["time_msc"] >= from_s * 1000][:count].copy()

    def symbol_info_tick(self, symbol):
        if not len(self.stream):
            return None
        last = self.stream[-1]
        return type("Tick", (), {"time_msc": int(last["time_msc"]), "bid": float(last["bid"])})

    def last_error(self):
        return (-10004, "No IPC connection, call initialize() first")


ARRIVALS = [
    ticks((1000, 1.0), (1000, 1.0), (1500, 1.1)),
    ticks((1500, 1.2), (1500, 1.2)),           # late, within the last millisecond yielded, twice alike
    ticks(),
    ticks((1999, 1.3), (2200, 1.4), (2200, 1.4), (2200, 1.5), (2201, 1.6)),
    ticks((2201, 1.6), (2201, 1.6)),
]


@pytest.mark.parametrize("batch", [1, 2, 3, 100])
def test_same_millisecond_ticks_are_yielded_exactly_once(monkeypatch, batch):
    source = ScriptedSource(ARRIVALS)
    monkeypatch.setattr(live, "_core", source)
    everything = np.concatenate(ARRIVALS)
    everything = everything[np.argsort(everything["time_msc"], kind="stable")]
    got = []
    for symbol, part in live.watch_ticks("X", since=1, poll_interval=0, batch=batch):
        assert symbol == "X"
        got.append(part)
        if sum(map(len, got)) >= len(everything):
            break
    assert np.concatenate(got).tobytes() == everything.tobytes()


def test_live_only_starts_after_the_latest_millisecond(monkeypatch):
    # Polls of 2 ticks end before the latest millisecond (1500) twice over;
    # a late tick at 1500 arrives while the start is being taken.
    history = ticks((1000, 1.0), (1100, 1.1), (1200, 1.2), (1300, 1.3), (1500, 1.5), (1500, 1.6))
    arrivals = [ticks(), ticks((1500, 1.7), (1600, 1.8)), ticks((1700, 1.9))]
    monkeypatch.setattr(live, "_core", ScriptedSource(arrivals, initial=history))
    got = []
    for _, part in live.watch_ticks("X", poll_interval=0, batch=2):
        got.extend(part["bid"].tolist())
        if got[-1] == 1.9:
            break
    assert got == [1.8, 1.9]


@pytest.mark.parametrize("stop", ["failure", "interrupt", "close"])
def test_stops_cleanly(monkeypatch, stop):
    source = ScriptedSource(ARRIVALS)
    monkeypatch.setattr(live, "_core", source)
    stream = live.watch_ticks(["X"], since=1, poll_interval=0)
    assert len(next(stream).ticks) == 3
    # Armed only now, so that a fault above cannot interrupt the test run.
    if stop == "failure":
        source.fail_at = source.calls + 2
    elif stop == "interrupt":
        source.interrupt_at = source.calls + 2
    if stop == "close":
        stream.close()
    else:
        with pytest.raises(live.WatchError if stop == "failure" else KeyboardInterrupt) as raised:
            list(stream)
        if stop == "failure":
            assert (raised.value.symbol, raised.value.code) == ("X", -10004)
            assert "No IPC connection, call initialize() first" in str(raised.value)
    calls = source.calls
    assert next(stream, None) is None and source.calls == calls


@pytest.mark.parametrize("kind, call", [("ticks", "copy_ticks_from"), ("bars", "copy_rates_range"),
                                        ("trades", "history_deals_get")])
@pytest.mark.parametrize("mode", ["sync", "async"])
def test_every_watcher_raises_the_failed_call_and_ends(core, kind, call, mode):
    def watch(where):
        return {"ticks": lambda: where.watch_ticks("EURUSD", since=0), "trades": lambda: where.watch_trades(since=0),
                "bars": lambda: where.watch_bars("EURUSD", 1, since=0)}[kind]()

    if mode == "sync":
        stream = watch(live)
        with pytest.raises(live.WatchError) as raised:
            next(stream)
        assert next(stream, None) is None
    else:
        async def first():
            stream = watch(aio)
            with pytest.raises(live.WatchError) as raised:
                await stream.__anext__()
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            return raised

        raised = asyncio.run(first())
    assert (raised.value.code, raised.value.message) == (-10004, "No IPC connection, call initialize() first")
    assert str(raised.value).startswith(call)


@pytest.mark.parametrize("symbols, options, error", [
    ([], {}, TypeError),
    (["X", 3], {}, TypeError),
    ("X", {"poll_interval": -1}, ValueError),
    ("X", {"batch": 0}, ValueError),
    ("X", {"since": "yesterday"}, TypeError),
    ("X", {}, "symbol_info_tick for 'X' failed: \\(-10004"),  # live only: the latest tick is asked for at once
])
def test_refuses_at_the_call(monkeypatch, symbols, options, error):
    source = ScriptedSource([])
    monkeypatch.setattr(live, "_core", source)
    with pytest.raises(live.WatchError if isinstance(error, str) else error,
                       match=error if isinstance(error, str) else None):
        live.watch_ticks(symbols, **options)
    assert source.calls == 0


# ------------------------------------------------------------ trades

END = 2**31 - 1


@pytest.mark.parametrize("clock", [MOVING, ("--now", str(NOW))], ids=["moving", "frozen"])
def test_trades_come_once_in_order_and_resume(private_folders, terminal_binary, core, clock):
    """On the frozen clock every event has one time, so the pending order's
    placing sorts before the deal and fill already yielded."""
    with running_terminal(private_folders, terminal_binary, core, *clock):
        before_deals = {d.ticket for d in core.history_deals_get(0, END)}
        stream = watch_trades(poll_interval=0.02, duration=120)
        events = []

        def take(*expected):
            """The next events, as (kind, ticket, state) with -1 for a deal."""
            got = [next(stream) for _ in expected]
            events.extend(got)
            assert [(e.kind, e.ticket, e.key[3]) for e in got] == list(expected)

        def sent(**request):
            result = core.order_send(symbol="EURUSD", volume=0.1, **request)
            assert result is not None and result.retcode in (qv.TradeRetcode.DONE, qv.TradeRetcode.PLACED), result
            return result

        buy = sent(action=qv.TradeAction.DEAL, type=qv.OrderType.BUY)
        take(("deal", buy.deal, -1), ("order", buy.order, qv.OrderState.FILLED))
        tick = core.symbol_info_tick("EURUSD")
        pending = sent(action=qv.TradeAction.PENDING, type=qv.OrderType.BUY_LIMIT, price=round(tick.bid - 0.01, 5))
        take(("order", pending.order, qv.OrderState.PLACED))
        assert core.order_send(action=qv.TradeAction.REMOVE, order=pending.order).retcode == qv.TradeRetcode.DONE
        take(("order", pending.order, qv.OrderState.CANCELED))
        close = sent(action=qv.TradeAction.DEAL, type=qv.OrderType.SELL, position=buy.order)
        take(("deal", close.deal, -1), ("order", close.order, qv.OrderState.FILLED))
        stream.close()

        deals = [d for d in core.history_deals_get(0, END) if d.ticket not in before_deals]
        assert [e.record for e in events if e.kind == "deal"] == deals
        # Going on from each event's cursor (through JSON) gives, in one poll,
        # what followed it that is still there to see: all but the placing.
        for i, event in enumerate(events):
            rest = [e for e in events[i + 1:] if e.key[3] != qv.OrderState.PLACED]
            since = TradeCursor(*json.loads(json.dumps(event.cursor)))
            assert list(watch_trades(since=since, duration=0)) == sorted(rest, key=lambda e: e.key), i


# ------------------------------------------------------------ trades, scripted account

def record(kind, **fields):
    """A TradeDeal or TradeOrder with `fields`, every other field 0."""
    return kind(tuple(fields.get(name, 0) for name in kind.__match_args__))


class ScriptedAccount:
    """Stands in for the module's trade calls, answering as the Terminal
    does: deals from a second on (by their time), the working orders, the
    history orders placed from a second on, or one by ticket. `script` maps
    (poll, call) to what happens to the account just before that call of
    that poll (a poll begins with history_deals_get). One poll after the
    last that changes something, a call fails, which ends the stream."""

    def __init__(self, script):
        self.script, self.last = script, max(poll for poll, _ in script) + 1
        self.poll, self.deals, self.working, self.done = 0, [], {}, {}

    def _call(self, call):
        self.poll += call == "history_deals_get"
        for happen in self.script.get((self.poll, call), ()):
            happen(self)
        return self.poll <= self.last

    def history_deals_get(self, date_from, date_to):
        return tuple(d for d in self.deals if d.time_msc >= date_from * 1000) if self._call(
            "history_deals_get") else None

    def orders_get(self):
        return tuple(self.working.values()) if self._call("orders_get") else None

    def history_orders_get(self, date_from=None, date_to=None, *, ticket=None):
        if not self._call("history_orders_get"):
            return None
        if ticket is not None:
            return tuple(o for o in self.done.values() if o.ticket == ticket)
        return tuple(o for o in self.done.values() if o.time_setup_msc >= date_from * 1000)

    def last_error(self):
        return (-10004, "No IPC connection")


def placed(ticket, at):
    def happen(account):
        account.working[ticket] = record(qv.TradeOrder, ticket=ticket, time_setup_msc=at,
                                         state=qv.OrderState.PLACED)
    return happen


def cancelled(ticket, at):
    def happen(account):
        order = account.working.pop(ticket)
        account.done[ticket] = record(qv.TradeOrder, **{**order._asdict(), "time_done_msc": at,
                                                        "state": qv.OrderState.CANCELED})
    return happen


def filled(deal, order, at):
    def happen(account):
        account.deals.append(record(qv.TradeDeal, ticket=deal, order=order, time_msc=at))
        account.done[order] = record(qv.TradeOrder, ticket=order, time_setup_msc=at, time_done_msc=at,
                                     state=qv.OrderState.FILLED)
    return happen


PLACED, CANCELED, FILLED = qv.OrderState.PLACED, qv.OrderState.CANCELED, qv.OrderState.FILLED


@pytest.mark.parametrize("script, expected", [
    # Order 7, placed at 1 s, is cancelled once a fill at 5 s has moved the
    # floor past its placing: it is in neither the working orders nor the
    # history orders placed from the floor on, and is looked up by ticket.
    pytest.param({(1, "history_deals_get"): [placed(7, 1_000)],
                  (2, "history_deals_get"): [filled(8, 9, 5_000)],
                  (3, "history_deals_get"): [cancelled(7, 9_000)]},
                 [("order", 7, PLACED), ("deal", 8, -1), ("order", 9, FILLED), ("order", 7, CANCELED)],
                 id="closed-long-after-placing"),
    # A fill at 3 s and an order placed at 4 s come after the poll's deals
    # were read: the next poll reads deals from a floor no later than 3 s.
    pytest.param({(1, "orders_get"): [filled(2, 3, 3_000), placed(4, 4_000)]},
                 [("order", 3, FILLED), ("order", 4, PLACED), ("deal", 2, -1)],
                 id="fill-between-deals-and-orders"),
])
def test_trades_of_a_scripted_account(monkeypatch, script, expected):
    monkeypatch.setattr(live, "_core", ScriptedAccount(script))
    got = []
    with pytest.raises(live.WatchError, match="No IPC connection"):
        for event in watch_trades(since=0, poll_interval=0):
            got.append((event.kind, event.ticket, event.key[3]))
    assert got == expected


LAST_MS = (2**31 - 1) * 1000 + 999  # the last millisecond of the last second a date can name


def time_refused(value):
    return f"time_msc must be a whole number of milliseconds from 0 to {LAST_MS}, not {value!r}"


def key_refused(key):
    return f"{key!r} in seen is not an event's key (time_msc, rank, ticket, state)"


@pytest.mark.parametrize("cursor, refusal", [
    pytest.param(TradeCursor(-1), time_refused(-1), id="negative-time"),
    pytest.param(TradeCursor(LAST_MS + 1), time_refused(LAST_MS + 1), id="past-the-last-date"),
    pytest.param(TradeCursor(1.7e12), time_refused(1.7e12), id="float-time"),
    pytest.param(TradeCursor(True), time_refused(True), id="bool-time"),
    pytest.param(TradeCursor("1700000000000"), time_refused("1700000000000"), id="text-time"),
    pytest.param(TradeCursor(5, "1150"), "seen must be a list of event keys, not str", id="text-seen"),
    pytest.param(TradeCursor(5, [[5, 1, 8, -1.0]]), key_refused([5, 1, 8, -1.0]), id="float-state"),
    pytest.param(TradeCursor(5, [[5, True, 8, -1]]), key_refused([5, True, 8, -1]), id="bool-rank"),
    pytest.param(TradeCursor(5, [["5", 1, 8, -1]]), key_refused(["5", 1, 8, -1]), id="text-time-in-key"),
    pytest.param(TradeCursor(5, [[5, 1, 8]]), key_refused([5, 1, 8]), id="three-items"),
    pytest.param(TradeCursor(5, [[-5, 0, 8, 1]]), key_refused([-5, 0, 8, 1]), id="negative-time-in-key"),
    pytest.param(TradeCursor(5, [[5, 0, -8, 1]]), key_refused([5, 0, -8, 1]), id="negative-ticket"),
    pytest.param(TradeCursor(5, [[5, 3, 8, -1]]), key_refused([5, 3, 8, -1]), id="no-such-rank"),
    pytest.param(TradeCursor(5, [[5, 1, 8, 4]]), key_refused([5, 1, 8, 4]), id="deal-with-a-state"),
    pytest.param(TradeCursor(5, [[5, 2, 8, -1]]), key_refused([5, 2, 8, -1]), id="order-without-a-state"),
    # What events give, also through JSON or with NumPy integers: taken,
    # the keys sorted and repeats dropped.
    pytest.param(TradeCursor(np.int64(5), [[9, 2, 8, 4], (3, 0, 8, 1), [9, 1, 7, -1], [9, 2, 8, 4]]),
                 TradeCursor(5, ((3, 0, 8, 1), (9, 1, 7, -1), (9, 2, 8, 4))), id="exact"),
])
def test_trade_cursor_is_checked_at_the_call(monkeypatch, cursor, refusal):
    source = ScriptedAccount({(1, "history_deals_get"): []})
    monkeypatch.setattr(live, "_core", source)
    if isinstance(refusal, TradeCursor):
        start = live._trade_start(0.25, cursor)
        assert start == refusal and type(start.time_msc) is int and hash(start) == hash(refusal)
        return
    with pytest.raises(ValueError) as raised:
        watch_trades(since=cursor)
    assert str(raised.value) == "since is not a trade cursor: " + refusal
    assert source.poll == 0
