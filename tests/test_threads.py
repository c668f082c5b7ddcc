"""Other threads and event loops while the module waits, calls from many
threads at once, and quorvane.aio.

A test that shows another thread or loop running during a call makes the
call's end depend on it: the scripted Terminal answers, or the Terminal
appears, only once the other side has seen the call waiting and acted. A
module that kept the interpreter lock through the wait would never let it
act, and the call would fail."""

from __future__ import annotations

import asyncio
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import host
from bundled import NOW
from fake_terminal import FakeTerminal, i32, reply, request, u32, wide

import quorvane as qv
from quorvane import _core, aio

LINK_LOST = {-10001, -10002, -10004}


def alongside(how: str, name: str, args: tuple, ready, act):
    """Makes the call `name(*args)` while another thread (`how` "thread")
    or the event loop (`how` "loop", the call made through quorvane.aio)
    waits for `ready()` and then does `act()`. Returns the call's result."""

    deadline = time.monotonic() + 60
    if how == "thread":
        def other():
            while not ready() and time.monotonic() < deadline:
                time.sleep(0.005)
            act()

        thread = threading.Thread(target=other)
        thread.start()
        try:
            return getattr(_core, name)(*args)
        finally:
            thread.join()

    async def main():
        pending = asyncio.ensure_future(getattr(aio, name)(*args))
        while not ready() and time.monotonic() < deadline:
            await asyncio.sleep(0.005)
        act()
        return await pending

    return asyncio.run(main())


@pytest.mark.parametrize("how", ["thread", "loop"])
def test_others_run_during_a_long_download(fake, core, private_folders, how):
    count = 200_000  # 12 MB, held back until the other side opens the gate
    gate = private_folders / "gate"
    head = u32(12 + 60 * count) + u32(104) + i32(1) + u32(count)
    fake.connected((head, {"gate": str(gate), "pad": 60 * count}))
    ticks = alongside(how, "copy_ticks_from", ("EURUSD", 0, count, 3), lambda: len(fake.frames()) == 3, gate.touch)
    assert ticks is not None, core.last_error()
    assert ticks.tobytes() == (bytes(range(251)) * (60 * count // 251 + 1))[:60 * count]


@host.posix_only("a shell script stands in for the Terminal's executable")
@pytest.mark.parametrize("how", ["thread", "loop"])
def test_others_run_while_the_terminal_starts(core, private_folders, monkeypatch, how):
    # The "Terminal" the module starts only leaves a mark; the other side
    # then serves its endpoint, which the module is polling for.
    terminal = FakeTerminal(private_folders / "starting")
    started = private_folders / "started"
    exe = Path(terminal.path)
    exe.write_text(f'#!/bin/sh\ntouch "{started}"\n')
    exe.chmod(0o755)
    assert alongside(how, "initialize", (str(exe),), started.exists, terminal.serve) is True


@pytest.mark.parametrize("queued", [0, 6])
@pytest.mark.parametrize("interrupt", ["shutdown", "initialize"])
def test_initialize_and_shutdown_end_a_waiting_call(core, private_folders, interrupt, queued):
    """A call waits for a reply that never comes and `queued` other calls
    wait for their turn behind it; initialize or shutdown cuts the first
    short and goes next, ahead of the queued ones and of the call the cut
    one's thread makes again at once: those run after it, on what it left
    (the new connection, or none). Four rounds, as the call made again
    races the interrupting one for the lock."""
    version = reply(1, 1, u32(5) + u32(2405) + wide("v"))
    for round_ in range(4):
        first = FakeTerminal(private_folders / f"first{round_}")
        first.connected((reply(172, 1, bytes(60)), {"gate": str(private_folders / "never")}))
        other = FakeTerminal(private_folders / f"other{round_}")
        other.serve(*[version] * (queued + 2))
        outcome, versions = [], []

        def cut_short_then_again():
            outcome.append(core.symbol_info_tick("EURUSD"))
            versions.append(core.version())

        threads = [threading.Thread(target=cut_short_then_again)]
        threads[0].start()
        while len(first.frames()) < 3:
            time.sleep(0.005)
        threads += [threading.Thread(target=lambda: versions.append(core.version())) for _ in range(queued)]
        for thread in threads[1:]:
            thread.start()
        if queued:
            time.sleep(0.25)  # time to reach the call lock; one that comes later only waits longer
        if interrupt == "shutdown":
            assert core.shutdown() is True
        else:
            assert core.initialize(other.path) is True
        for thread in threads:
            thread.join(30)
            assert not thread.is_alive()
        assert outcome == [None]
        # The interrupting call finished after the call it cut short, the others after it.
        if interrupt == "shutdown":
            assert (versions, core.last_error()) == ([(0, 0, "")] * (queued + 1), (-10004, "No IPC connection, call initialize() first"))
        else:
            assert (versions, core.last_error()) == ([(5, 2405, "v")] * (queued + 1), (1, "Success"))
            assert core.version() == (5, 2405, "v")
        # The interrupted connection carried the one request whole and nothing after it.
        assert first.frames()[2:] == [request(172, wide("EURUSD"))]
        core.shutdown()


# ---- many threads against the bundled Terminal ----------------------------------------

def calls(k: int) -> list[tuple[str, tuple, dict]]:
    """Every function but initialize and shutdown, with arguments whose
    answers a frozen clock and an account that never trades keep fixed.
    Thread `k` keeps a Depth of Market of its own."""

    book = ("EURUSD", "GBPUSD", "USDCHF", "AUDUSD", "USDCAD", "NZDUSD", "USDJPY", "XAUUSD")[k % 8]
    buy = {"action": qv.TradeAction.DEAL, "symbol": "EURUSD", "volume": 0.01, "type": qv.OrderType.BUY}
    return [
        ("login", (5001001, "demo1001", "Quorvane-Demo"), {}),
        *[(name, (), {}) for name in ("last_error", "version", "terminal_info", "account_info",
                                      "symbols_total", "positions_total", "positions_get", "orders_total")],
        ("copy_ticks_from", ("EURUSD", NOW - 3600, 500, 3), {}),
        ("copy_ticks_range", ("BTCUSD", NOW - 600, NOW, 3), {}),
        ("copy_rates_from", ("EURUSD", 1, NOW, 50), {}),
        ("copy_rates_from_pos", ("XAUUSD", 60, 0, 50), {}),
        ("copy_rates_range", ("GBPUSD", 60, NOW - 86400, NOW), {}),
        ("symbols_get", (), {"group": "*USD*"}),
        ("symbol_info", ("GBPUSD",), {}),
        ("symbol_info_tick", ("XAUUSD",), {}),
        ("symbol_select", ("EURUSD", True), {}),
        *[(name, (book,), {}) for name in ("market_book_add", "market_book_get", "market_book_release")],
        ("order_calc_margin", (0, "EURUSD", 1.0, 1.1), {}),
        ("order_calc_profit", (1, "USDJPY", 1.0, 150.0, 149.0), {}),
        ("orders_get", (), {"group": "*"}),
        *[(name, (0, NOW), {}) for name in ("history_orders_total", "history_orders_get",
                                            "history_deals_total", "history_deals_get")],
        ("order_check", (buy,), {}),
        ("order_send", (), {"action": qv.TradeAction.REMOVE, "order": 999_999}),
    ]


def comparable(value):
    if isinstance(value, np.ndarray):
        return "array", value.dtype.str, value.tobytes()
    if type(value).__name__ == "OrderSendResult":
        return {k: v for k, v in value._asdict().items() if k != "request_id"}  # counts the requests
    return value


def make_all(core, k: int) -> list:
    return [comparable(getattr(core, name)(*args, **kwargs)) for name, args, kwargs in calls(k)]


def test_threads_storm_with_initialize_and_shutdown(frozen, core):
    """Eight threads make every call, each checking each answer against the
    one-thread answer: a torn frame or a crossed reply would show as a wrong
    answer or as a refusal (-2, -10000). Then a ninth thread drops and
    remakes the connection meanwhile; a call may then fail, but only as a
    lost connection (or with the book subscription the connection took
    along), and the connection serves as before at the end."""
    expected = [make_all(core, k) for k in range(8)]
    assert not any(r is None or r is False for r in expected[0][2:]), core.last_error()
    names = [name for name, _, _ in calls(0)]
    start, calm_done = threading.Barrier(9), threading.Barrier(9)
    storm_over = threading.Event()
    problems: list = []
    answered = [[0, 0] for _ in range(8)]  # calm, stormy

    def worker(k: int) -> None:
        start.wait()
        for round_ in range(3):
            for name, got, want in zip(names, make_all(core, k), expected[k]):
                if name != "last_error" and got != want:
                    problems.append((k, round_, name, core.last_error()[0], got))
            answered[k][0] += 1
        calm_done.wait()
        while not storm_over.is_set():
            for name, got, want in zip(names, make_all(core, k), expected[k]):
                if name == "last_error":
                    continue
                if got == want:
                    answered[k][1] += 1
                    continue
                code = core.last_error()[0]
                failed = got is None or got is False or (name == "version" and got == (0, 0, ""))
                if not failed or code not in LINK_LOST | {1, -1}:
                    problems.append((k, "storm", name, code, got))

    def disruptor() -> None:
        start.wait()
        calm_done.wait()
        try:
            for _ in range(12):
                assert core.shutdown() is True
                assert core.initialize(str(frozen)) is True, core.last_error()
                # Calls get through between the interruptions.
                before = sum(stormy for _, stormy in answered)
                deadline = time.monotonic() + 30
                while sum(stormy for _, stormy in answered) < before + 16 and time.monotonic() < deadline:
                    time.sleep(0.001)
        finally:
            storm_over.set()

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)] + [threading.Thread(target=disruptor)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert problems == []
    assert [calm for calm, _ in answered] == [3] * 8
    assert sum(stormy for _, stormy in answered) >= 12 * 16
    assert make_all(core, 0) == expected[0]


def test_aio_gives_what_the_functions_give(frozen):
    every = [("initialize", (str(frozen),), {}), *calls(0), ("shutdown", (), {}),
             ("version", (), {})]
    assert {name for name, _, _ in every} == set(aio.__all__) - {"TickBatch", "TradeCursor", "TradeEvent",
                                                                 "WatchError", "watch_bars", "watch_ticks",
                                                                 "watch_trades"}

    made = [(comparable(getattr(qv, name)(*args, **kwargs)), qv.last_error()) for name, args, kwargs in every]

    async def awaited():
        return [(comparable(await getattr(aio, name)(*args, **kwargs)), await aio.last_error())
                for name, args, kwargs in every]

    for (name, _, _), sync, async_ in zip(every, made, asyncio.run(awaited())):
        assert sync == async_, name
    assert made[-1] == ((0, 0, ""), (-10004, "No IPC connection, call initialize() first"))  # after shutdown

