"""Clients that break the protocol, stall or flood the Terminal, or belong
to another user, are dropped or outlasted without disturbing well-behaved
clients or its memory."""

from __future__ import annotations

import contextlib
import os
import random
import socket
import struct
import time

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


def rss_mib(terminal) -> float:
    for line in open(f"/proc/{terminal.proc.pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    raise AssertionError("no VmRSS")


def greeted(terminal) -> tc.TerminalClient:
    """A well-behaved client: it greets first, like the module does."""
    c = terminal.client()
    assert c.handshake().result == tc.SUCCESS
    return c


def served(c: tc.TerminalClient) -> bool:
    return c.ready_state() == 2 and c.ticks_range("EURUSD", NOW_MS - 60000, NOW_MS, 3)[0] == tc.SUCCESS


REQUESTS = [
    tc.frame(tc.HANDSHAKE, tc.u32(3) + tc.wide("Python")),
    tc.frame(tc.LOGIN, tc.u32(0) + tc.u64(5001001) + tc.wide("demo1001") + tc.wide("Quorvane-Demo")),
    tc.frame(tc.TICKS_RANGE, tc.wide("EURUSD") + tc.i64(NOW_MS - 60000) + tc.i64(NOW_MS) + tc.i32(3)),
]


BAD_FRAMES = [
    tc.u32(0), tc.u32(3) + b"abc",  # no room for a command
    tc.u32(64 * 2**10 + 1) + tc.u32(1) + bytes(64 * 2**10 - 3),  # a whole frame just over the limit
    tc.u32(0xFFFFFFFF),
]


def test_bad_frames_random_bytes_and_frames_cut_at_every_offset(terminal):
    with greeted(terminal) as good:
        for data in BAD_FRAMES:  # dropped unanswered
            bad = raw_socket(terminal)
            with contextlib.suppress(OSError):  # dropped before all of it went out
                bad.sendall(data)
            assert dropped(bad), data[:8]
            bad.close()
        for seed in range(40):
            bad = raw_socket(terminal)
            bad.sendall(random.Random(seed).randbytes(1 + seed * 37))
            bad.close()
        for request in REQUESTS:
            for cut in range(1, len(request)):
                bad = raw_socket(terminal)
                bad.sendall(request[:cut])
                bad.close()
        assert served(good)
    with greeted(terminal) as again:
        assert served(again)


def test_stalled_clients_cannot_lock_others_out(terminal):
    # Twice as many half-open connections as there are slots: each sends two
    # bytes of a length and stalls. They cost the Terminal little memory.
    with greeted(terminal) as early:
        base = None if host.WINDOWS else rss_mib(terminal)
        stalled = []
        for _ in range(128):
            s = raw_socket(terminal)
            s.sendall(b"\x08\x00")
            stalled.append(s)
        with greeted(terminal) as late:
            assert served(late)
        assert served(early)
        if base is not None:
            assert rss_mib(terminal) - base < 32
        for s in stalled:
            s.close()


@pytest.mark.parametrize("opening, answer", [
    (b"", 0), (b"\x08\x00", 0), (REQUESTS[2][:-1], 0),
    (tc.frame(tc.HANDSHAKE, tc.u32(2) + tc.wide("Python")), 12),  # refused: not greeted
], ids=["silent", "in-length", "in-body", "failed-handshake"])
def test_stalled_connection_is_dropped(launch, opening, answer):
    terminal = launch("--frame-timeout-ms", "200", "--handshake-timeout-ms", "200")
    with greeted(terminal) as good:
        bad = raw_socket(terminal)
        bad.sendall(opening)
        if answer:
            reply = bytearray(answer)
            assert bad.recv_into(reply, answer) == answer and reply[8:] == tc.i32(-5)
        assert dropped(bad)
        time.sleep(0.5)  # a greeted client may stay idle beyond both limits
        assert served(good)


def test_max_clients_serves_exactly_that_many(launch):
    terminal = launch("--max-clients", "2")
    with greeted(terminal) as first, greeted(terminal) as second:
        # Both slots are held by clients that greeted: no room for a third.
        third = raw_socket(terminal)
        with contextlib.suppress(OSError):  # closed before the greeting went out
            third.sendall(REQUESTS[0])  # a client let in would be answered
        assert dropped(third)
        assert served(first) and served(second)


STRANGER = 65534  # nobody


def stranger_opens(path: str) -> str:
    """What a process of the user STRANGER sees when it connects to `path`
    and sends a handshake: "dropped" (closed unanswered), "answered" or
    "no connection". Forked, as the interpreter may be out of its reach."""
    pid = os.fork()
    if pid == 0:
        code = 3
        try:
            os.setgroups([])
            os.setgid(STRANGER)
            os.setuid(STRANGER)
            with socket.socket(socket.AF_UNIX) as s:
                s.settimeout(20)
                try:
                    s.connect(path)
                except OSError:
                    code = 2
                else:
                    with contextlib.suppress(OSError):  # closed before it all went out
                        s.sendall(REQUESTS[0])
                    try:
                        code = 0 if s.recv(1) == b"" else 1
                    except ConnectionResetError:
                        code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return {0: "dropped", 1: "answered", 2: "no connection"}.get(os.waitstatus_to_exitcode(status), "failed")


@host.posix_only("user ids of socket peers")
@pytest.mark.skipif(host.WINDOWS or os.geteuid() != 0, reason="becoming another user takes root")
def test_a_client_of_another_user_is_dropped_unanswered(terminal, private_folders):
    # Modes widened by hand: the socket, and its folder and the test's on its way.
    terminal.endpoint.chmod(0o666)
    for folder in (private_folders, terminal.endpoint.parent):
        folder.chmod(0o711)
    with greeted(terminal) as good:
        assert stranger_opens(str(terminal.endpoint)) == "dropped"
        assert served(good)
    refused = [line for line in terminal.stderr().splitlines() if "refused" in line]
    assert refused == [f"terminal64: client of user {STRANGER} refused: this Terminal serves user 0 only"]


@host.posix_only("reads the Terminal's memory use from /proc")
def test_partial_requests_and_abandoned_replies_hold_little_memory(terminal):
    # Each client declares a huge frame and sends far more than the request
    # limit of it before stalling; none of it may be kept.
    with greeted(terminal) as good:
        base = rss_mib(terminal)
        chunk = b"\0" * (1 << 20)
        clients = []
        for _ in range(8):
            s = raw_socket(terminal)
            clients.append(s)
            with contextlib.suppress(OSError):  # dropped as soon as the length was read
                s.sendall(tc.u32(64 << 20) + tc.u32(tc.VERSION))
                for _ in range(33):
                    s.sendall(chunk)
        for _ in range(64):
            s = raw_socket(terminal)
            clients.append(s)
            s.sendall(tc.u32(60 << 10) + tc.u32(tc.VERSION) + chunk[: 59 << 10])
        assert served(good)
        assert rss_mib(terminal) - base < 48
        for s in clients:
            s.close()
        # A client leaving during a large reply.
        base = rss_mib(terminal)
        leaving = terminal.client()
        leaving.send_raw(tc.frame(tc.TICKS_FROM, tc.wide("EURUSD") + tc.i64(0) + tc.i32(10_000_000) + tc.i32(3)))
        leaving.recv_exact(1 << 20)
        leaving.close()
        result, ticks = good.ticks_from("EURUSD", NOW_MS - 3_600_000, 100, 3)
        assert result == tc.SUCCESS and len(ticks) == 100
        # The reply's buffers went with the session, whose thread has ended
        # once a new client is admitted (finished sessions are reaped first).
        with greeted(terminal) as probe:
            assert served(probe)
        assert rss_mib(terminal) - base < 64


def test_requests_in_one_write_or_byte_by_byte_are_answered(client):
    # Strict alternation is the client's duty; a Terminal that receives
    # several frames at once still answers each in turn.
    client.send_raw(tc.frame(tc.READY_POLL) + tc.frame(tc.VERSION, tc.u32(0)) + tc.frame(77))
    replies = [client.recv_reply() for _ in range(3)]
    assert [(r.command, r.result) for r in replies] == [(109, 1), (1, 1), (77, tc.UNSUPPORTED)]
    assert struct.unpack("<I", replies[0].payload)[0] == 2
    # A slow sender within the frame limit is answered too.
    for byte in REQUESTS[2]:
        client.send_raw(bytes([byte]))
        time.sleep(0.002)
    reply = client.recv_reply()
    assert (reply.command, reply.result) == (tc.TICKS_RANGE, tc.SUCCESS)
