"""The framed link, checked byte for byte against a scripted Terminal."""

import gc
import math
import sys

import pytest

from fake_terminal import HANDSHAKE_BUILD, i32, reply, request, u32, wide
from trade_records import ACCOUNT, POSITION, SEND, TERMINAL, distinct, fields, pack

TERMINAL_RECORD = 3162

# A link code, and codes outside the message table.
MESSAGES = {
    -9999: "Terminal: Call failed",
    -10001: "IPC send failed",
    -10006: "Terminal: Call failed",
}


def version_reply(text="7 Dec 2026"):
    return reply(1, 1, u32(5) + u32(HANDSHAKE_BUILD) + wide(text))


@pytest.mark.parametrize("code", sorted(MESSAGES))
def test_terminal_result_codes_and_messages(fake, core, code):
    fake.connected(reply(180, code))
    assert core.terminal_info() is None
    assert core.last_error() == (code, MESSAGES[code])


def test_connect_sequence_and_version_round_trip(fake, core):
    fake.connected(version_reply("7 Dec 2026"), reply(1, 0, u32(3) + u32(4) + wide("x")),
                   reply(1, 1, u32(1) + u32(2) + wide("é" * 64)))
    assert core.version() == (5, HANDSHAKE_BUILD, "7 Dec 2026")
    handshake, ready, version = fake.frames()[:3]
    assert handshake == u32(24) + u32(4) + u32(3) + u32(6) + "Python".encode("utf-16-le")
    assert (ready, version) == (bytes.fromhex("040000006d000000"), request(1, u32(0)))
    # Result 0: no data, still success.
    assert core.version() == (0, 0, "")
    assert core.last_error() == (1, "Success")
    # A text whose UTF-8 form exceeds 127 bytes is dropped; the numbers stay.
    assert core.version() == (1, 2, "")


def test_over_long_reply_drained_and_hostile_text_count_refused(fake, core):
    import tracemalloc

    # The stale tail of the first reply looks like a valid version reply;
    # a module that left it in the stream would return it as the answer.
    first = reply(180, 1, bytes(TERMINAL_RECORD) + version_reply("stale"))
    huge = reply(1, 1, u32(1) + u32(2) + u32(0x7FFFFFFF) + b"ab")
    fake.connected(first, version_reply("fresh"), huge, version_reply())
    assert core.terminal_info() is None
    assert core.last_error() == (-10002, "IPC recv failed")
    assert core.version() == (5, HANDSHAKE_BUILD, "fresh")
    tracemalloc.start()
    try:
        assert core.version() == (0, 0, "")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert core.last_error() == (-10002, "IPC recv failed")
    assert peak < 1 << 20
    assert core.version() == (5, HANDSHAKE_BUILD, "7 Dec 2026")


def test_bytes_past_a_reply_close_the_connection(fake, core):
    # A second frame sent with the first answers no request: the first is
    # the call's answer; the second must not become the next call's.
    fake.connected(version_reply("first") + version_reply("stale"), version_reply("next"))
    assert core.version() == (5, HANDSHAKE_BUILD, "first")
    assert core.version() == (0, 0, "")
    assert core.last_error() == (-10004, "No IPC connection, call initialize() first")


def test_a_list_longer_than_what_arrives_takes_memory_only_for_what_arrived(fake, core):
    # 2 GiB of positions declared, 200 KiB sent (converted piece by piece) before the
    # Terminal goes: the tuple follows the records that arrived, not the declared count.
    import tracemalloc

    record = pack(POSITION, distinct(POSITION))
    count = (1 << 31) // len(record)
    body = u32(121) + i32(1) + u32(count)
    fake.connected((u32(len(body) + count * len(record)) + body + record * (200_000 // len(record)), "close"))
    tracemalloc.start()
    try:
        assert core.positions_get() is None
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert core.last_error() == (-10002, "IPC recv failed")
    assert peak < 4 << 20


@pytest.mark.parametrize("during", [
    # A finaliser the collector runs while the reply's records become tuples;
    # from 3.12 the collector runs between bytecodes, never inside a call.
    pytest.param("reply", marks=pytest.mark.skipif(sys.version_info >= (3, 12), reason="no collection inside a call")),
    "arguments",  # an argument's __index__
])
def test_a_call_made_from_a_callback_keeps_the_outer_call_whole(fake, core, during):
    records = b"".join(pack(POSITION, {"ticket": t}) for t in range(1, 1001))
    sent = pack(SEND, {"retcode": 10009, "deal": 7})
    fake.connected(reply(121, 1, u32(1000) + records), reply(120, 1, u32(3)), reply(161, 1, sent))
    seen = []

    class Finaliser:
        def __del__(self):
            seen.extend((call(), core.last_error()) for call in (core.positions_total, core.initialize))

    class Index:
        def __index__(self):
            seen.append((core.positions_get(ticket=-1), core.last_error()))
            return 1

    if during == "reply":
        gc.collect()
        callback = Finaliser()
        callback.cycle = callback  # only the collector frees it
        del callback
        thresholds = gc.get_threshold()
        gc.set_threshold(1)  # the next allocation collects: the reply's first tuple
        try:
            positions = core.positions_get()
        finally:
            gc.set_threshold(*thresholds)
        # The inner call sent nothing into the reply and has its own outcome;
        # the outer one has all its records and the connection stays.
        assert seen == [(None, (-10001, "IPC send failed")),
                        (False, (-10003, "IPC initialize failed, another call is in progress"))]
        assert [p.ticket for p in positions] == list(range(1, 1001))
        assert core.last_error() == (1, "Success")
        assert core.positions_total() == 3
    else:
        assert core.positions_get()[999].ticket == 1000 and core.positions_total() == 3
        result = core.order_send({"action": Index(), "symbol": "EURUSD", "volume": 0.1, "type": 0})
        assert seen == [(None, (-2, 'Invalid "ticket" argument'))]
        assert (result.retcode, result.deal, core.last_error()) == (10009, 7, (1, "Success"))
    assert [frame[4:8] for frame in fake.requests()] == [u32(121), u32(120)] + [u32(161)] * (during == "arguments")


@pytest.mark.parametrize("cut", [2, 6, 11, 100])
def test_truncated_reply_then_closed_socket(fake, core, cut):
    whole = reply(180, 1, bytes(TERMINAL_RECORD))
    fake.connected((whole[:cut], "close"))
    assert core.terminal_info() is None
    assert core.last_error() == (-10002, "IPC recv failed")
    # The broken stream was closed; later calls know there is no connection.
    assert core.account_info() is None
    assert core.last_error() == (-10004, "No IPC connection, call initialize() first")


def test_peer_gone_before_the_request(fake, core):
    fake.connected()
    fake.stop()
    # The peer is known to be gone before anything is written.
    assert core.terminal_info() is None
    assert core.last_error() == (-10004, "No IPC connection, call initialize() first")


# Full texts have no terminator; distinct values show a field read from the wrong place.
# The record is served again (the same tuple comes back), then changed in
# every other field, in ways only the bytes show (0.0 to -0.0, the last unit
# of a full text), then as at first, then with its last field changed: each
# call must give its own record's values, the unchanged ones shared with the
# call before.
# A list of one record (the position held, asked for every bar) is made
# the same way.
@pytest.mark.parametrize("name, command, layout, texts", [
    ("terminal_info", 180, TERMINAL, {"data_path": "/data/" + "x" * 254, "company": "Belvastor \U0001F600"}),
    ("account_info", 190, ACCOUNT, {"name": "N" * 128, "company": "Belvastor \U0001F600"}),
    ("positions_get", 121, POSITION, {"symbol": "S" * 32, "comment": "c\U0001F600"}),
])
def test_info_records_convert_every_field(fake, core, name, command, layout, texts):
    named = [(n, code) for n, code in fields(layout) if n != "_"]  # padding has no item
    first = distinct(layout, **texts)
    first.update({n: 0.0 for n, code in named[::6] if code == "d"})

    def other(n, code):
        value = first[n]
        if code == "d":
            return -0.0 if value == 0.0 else -value
        if code.isdigit():  # a text: its last unit
            return value[:-1] + "~"
        if code == "b":
            return 0 if value else 1
        return value ^ 1

    changed = {**first, **{n: other(n, code) for n, code in named[1::2]}}
    records = (first, first, changed, first, {**first, named[-1][0]: other(*named[-1])})
    listed = name.endswith("_get")
    fake.connected(*(reply(command, 1, (u32(1) if listed else b"") + pack(layout, values)) for values in records))
    calls = [getattr(core, name)() for _ in records]
    if listed:
        assert {len(got) for got in calls} == {1}
        calls = [got[0] for got in calls]
    assert fake.requests() == [request(command)] * len(records)
    doubles = [n for n, code in named if code == "d"]
    for got, values in zip(calls, records):
        expected = {n: bool(values[n]) if code == "b" else values[n] for n, code in named}
        items = got._asdict()
        assert items == expected
        assert [math.copysign(1, items[n]) for n in doubles] == [math.copysign(1, expected[n]) for n in doubles]
    assert calls[1] is calls[0]
    numbers_and_texts = [n for n, code in named if code != "b"]
    assert {n: getattr(calls[2], n) is getattr(calls[1], n) for n in numbers_and_texts} == {
        n: repr(changed[n]) == repr(first[n]) for n in numbers_and_texts}
