"""quorvane.session: reconnecting after the Terminal went away, restoring
Depth of Market subscriptions, never sending a trade twice, reporting a
stall; and watchers that go on across a killed and restarted Terminal."""

from __future__ import annotations

import asyncio
import logging

import numpy as np
import pytest

import host
from bundled import NOW
from fake_terminal import handshake_reply, ready_reply, reply, request, u32, wide

import quorvane as qv

VERSION = reply(1, 1, u32(5) + u32(2405) + wide("v"))
TICK = reply(172, 1, bytes(60))


def commands(fake):
    return [int.from_bytes(frame[4:8], "little") for frame in fake.frames()]


def test_reconnects_restores_books_and_repeats_the_call(fake, core):
    fake.serve(reply(191, 1), (TICK[:10], "close"), handshake_reply(), ready_reply(), reply(191, 1), TICK)
    with qv.session(fake.path, backoff=(0.01, 0.05)) as s:
        assert s.market_book_add("EURUSD") is True
        tick = s.symbol_info_tick("EURUSD")
        assert tick is not None and tuple(tick) == (0, 0.0, 0.0, 0.0, 0, 0, 0, 0.0)
        assert (s.reconnects, s.last_error()) == (1, (1, "Success"))
    assert commands(fake) == [4, 109, 191, 172, 4, 109, 191, 172]
    assert fake.frames()[6] == request(191, wide("EURUSD"))


def test_a_trade_that_may_have_been_made_is_not_sent_again(fake, core):
    fake.serve((reply(161, 1)[:8], "close"), handshake_reply(), ready_reply(), VERSION)
    with qv.session(fake.path, backoff=(0.01, 0.05)) as s:
        assert s.order_send(action=qv.TradeAction.DEAL, symbol="EURUSD", volume=0.1, type=qv.OrderType.BUY) is None
        assert s.last_error() == (-10002, "IPC recv failed")
        assert s.version() == (5, 2405, "v")  # connects again first
    assert commands(fake) == [4, 109, 161, 4, 109, 1]


def test_a_stall_is_reported_and_ends_the_call(fake, core, private_folders, caplog):
    fake.serve((TICK, {"gate": str(private_folders / "never")}))
    stalled = []
    with caplog.at_level(logging.WARNING, logger="quorvane"):
        with qv.session(fake.path, reconnect=False, stall_timeout=0.2, on_stall=stalled.append) as s:
            assert s.symbol_info_tick("EURUSD") is None
            assert s.last_error()[0] in (-10002, -10004)
            assert (s.stalls, stalled) == (1, ["symbol_info_tick"])
    assert "symbol_info_tick got no answer from the Terminal within 0.2 s" in caplog.text


def test_a_session_that_cannot_connect_raises(core):
    with pytest.raises(qv._session.SessionError) as raised:
        qv.session(reconnect=False).open()
    assert raised.value.code == -10003


# ---- a Terminal killed and restarted during a watch ------------------------------


@pytest.fixture
def restartable(install):
    """A portable copy of the Terminal whose moving clock comes from its
    terminal.ini, so that a copy started again by the session runs the same
    market from the same start."""
    (install.parent / "config").mkdir()
    (install.parent / "config" / "terminal.ini").write_text(f"[Terminal]\nclock={NOW}\nspeed=300\n")
    return install


async def sync_next(stream):
    return next(stream)


async def async_next(stream):
    return await stream.__anext__()


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_watchers_lose_nothing_across_a_restart(restartable, core, mode):
    """Ticks of two symbols and closed bars, watched while the Terminal is
    killed and the session starts it again: joined, they equal one history
    read of the whole period. The restarted Terminal's clock starts over,
    so the watchers wait for it to pass where they were."""

    since = NOW - 60
    ticks: dict[str, list] = {"EURUSD": [], "BTCUSD": []}
    bars: list = []

    def covered() -> int:
        """Market time (ms) that every stream has reached past `since`."""
        reached = [parts[-1]["time_msc"][-1] if parts else 0 for parts in ticks.values()]
        reached.append(bars[-1]["time"][-1] * 1000 if bars else 0)
        return min(reached) - since * 1000

    def bars_behind(tick_ms: int) -> bool:
        """Whether a bar newer than the last one yielded has closed by then."""
        return (bars[-1]["time"][-1] if bars else since - 60) * 1000 + 120_000 <= tick_ms

    async def watch(s, step) -> None:
        tick_stream = s.watch_ticks(list(ticks), since=since, poll_interval=0.02, batch=50)
        bar_stream = s.watch_bars("EURUSD", qv.Timeframe.M1, since=since, poll_interval=0.02)
        for target in (120_000, 360_000):  # kill after two market minutes, stop after six
            while covered() < target:
                symbol, part = await step(tick_stream)
                ticks[symbol].append(part)
                if bars_behind(int(part["time_msc"][-1])):
                    bars.append(await step(bar_stream))
            if target == 120_000:
                pids = host.processes_of(restartable)
                assert len(pids) == 1 and host.kill_all(pids)

    async def watch_async() -> None:
        async with session as s:
            await watch(s, async_next)

    session = qv.session(str(restartable), portable=True, backoff=(0.05, 0.2))
    if mode == "sync":
        with session as s:
            asyncio.run(watch(s, sync_next))
    else:
        asyncio.run(watch_async())
    assert session.reconnects == 1

    assert core.initialize(str(restartable)), core.last_error()
    for symbol, parts in ticks.items():
        got = np.concatenate(parts)
        last = int(got["time_msc"][-1])
        whole = core.copy_ticks_range(symbol, since, last // 1000 + 1, qv.CopyTicks.ALL)
        whole = whole[(whole["time_msc"] >= since * 1000) & (whole["time_msc"] <= last)]
        assert got.tobytes() == whole.tobytes(), symbol
    got = np.concatenate(bars)
    assert got["time"][0] == since and np.all(np.diff(got["time"]) == 60)
    assert got.tobytes() == core.copy_rates_range("EURUSD", 1, since, int(got["time"][-1])).tobytes()
