"""Clients that break the protocol are dropped without disturbing others."""

from __future__ import annotations

import random
import struct
import threading

import host
import pytest

import terminal_client as tc
from terminal_times import NOW_MS


def raw_socket(terminal) -> host.Stream:
    return host.Stream(str(terminal.endpoint))


def dropped(s: host.Stream) -> bool:
    """True when the Terminal closed the connection without answering."""
    try:
        return s.recv_into(bytearray(1), 1) == 0
    except ConnectionResetError:
        return True


def garbage(n: int, seed: int) -> bytes:
    rng = random.Random(seed)
    return bytes(rng.randrange(256) for _ in range(n))


@pytest.mark.parametrize(
    "data",
    [
        tc.u32(0),                                   # no room for a command
        tc.u32(3) + b"abc",
        tc.u32(64 * 2**20 + 1) + tc.u32(1),          # beyond the request limit
        tc.u32(0xFFFFFFFF),
        garbage(64, 1) + b"\xff\xff\xff\xff",
        b"\xff\xff\xff\x7f" + garbage(4096, 2),
    ],
    ids=["length0", "length3", "oversized", "max-length", "garbage1", "garbage2"],
)
def test_bad_frames_are_dropped(terminal, data):
    with terminal.client() as good:
        bad = raw_socket(terminal)
        bad.sendall(data)
        assert dropped(bad)
        bad.close()
        assert good.ready_state() == 2


@pytest.mark.parametrize("sent", [b"\x08\x00", tc.u32(100) + b"0123456789", tc.frame(1, tc.u32(0))[:-1]])
def test_disconnect_mid_frame(terminal, sent):
    with terminal.client() as good:
        bad = raw_socket(terminal)
        bad.sendall(sent)
        bad.close()
        assert good.version()[0] == 5
    with terminal.client() as again:  # the Terminal still accepts clients
        assert again.ready_state() == 2


def test_stalled_client_does_not_block_others(terminal):
    # Announces a 60 MB request and sends almost none of it.
    stalled = raw_socket(terminal)
    stalled.sendall(tc.u32(60 * 2**20) + tc.u32(tc.VERSION) + b"x" * 1000)
    with terminal.client() as good:
        assert good.ready_state() == 2
        assert good.ticks_range("EURUSD", NOW_MS - 60000, NOW_MS, 3)[0] == tc.SUCCESS
    stalled.close()


def test_client_leaving_during_a_large_reply(terminal):
    leaving = terminal.client()
    leaving.send_raw(tc.frame(tc.TICKS_FROM, tc.wide("EURUSD") + tc.i64(0) + tc.i32(3_000_000) + tc.i32(3)))
    leaving.recv_exact(1 << 20)
    leaving.close()
    with terminal.client() as good:
        result, ticks = good.ticks_from("EURUSD", NOW_MS - 3_600_000, 100, 3)
        assert result == tc.SUCCESS and len(ticks) == 100


def test_many_clients_at_once(terminal):
    expected = None
    with terminal.client() as c:
        _, expected = c.ticks_range("BTCUSD", NOW_MS - 6 * 3_600_000, NOW_MS, 3)
    results = []
    errors = []

    def worker():
        try:
            with terminal.client() as c:
                for _ in range(3):
                    assert c.handshake().result == tc.SUCCESS
                    results.append(c.ticks_range("BTCUSD", NOW_MS - 6 * 3_600_000, NOW_MS, 3)[1].tobytes())
        except Exception as e:  # reported below, in the test's thread
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors
    assert len(results) == 36
    assert all(r == expected.tobytes() for r in results)


def test_requests_in_one_write_are_answered_in_order(client):
    # Strict alternation is the client's duty; a Terminal that receives
    # several frames at once still answers each in turn.
    client.send_raw(tc.frame(tc.READY_POLL) + tc.frame(tc.VERSION, tc.u32(0)) + tc.frame(77))
    replies = [client.recv_reply() for _ in range(3)]
    assert [(r.command, r.result) for r in replies] == [(109, 1), (1, 1), (77, tc.UNSUPPORTED)]
    assert struct.unpack("<I", replies[0].payload)[0] == 2
