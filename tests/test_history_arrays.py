"""Tick and bar history replies: the record layouts, the arrays built over
the received records, their ownership, and every way a reply can fail."""

import math
import mmap
import os
import struct
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import host
from fake_terminal import reply, u32, wide

NUMPY_DOMAIN = 389047  # tracemalloc domain of NumPy's data allocations

TICK_FIELDS = ("time", "bid", "ask", "last", "volume", "time_msc", "flags", "volume_real")
BAR_FIELDS = ("time", "open", "high", "low", "close", "tick_volume", "spread", "real_volume")
TICK_FORMAT = "<qdddQqId"
BAR_FORMAT = "<qddddQiQ"

# name, command, arguments, fields, record format
TICKS = ("copy_ticks_range", 105, ("EURUSD", 0, 10, 0), TICK_FIELDS, TICK_FORMAT)
BARS = ("copy_rates_from_pos", 108, ("EURUSD", 1, 0, 10), BAR_FIELDS, BAR_FORMAT)
KINDS = pytest.mark.parametrize("kind", [TICKS, BARS], ids=["ticks", "bars"])

# Values at the edges of each field's type: a wrong width or signedness in
# the layout would show as a different number.
TICK_VALUES = [(-1, 1.5, -2.25, 1e300, 2**64 - 1, -(2**63), 0xFFFFFFFF, -0.0),
               (1_700_000_000, 1.08, 1.0802, 0.0, 0, 1_700_000_000_123, 6, 2.5)]
BAR_VALUES = [(-1, 1.5, -2.25, 1e300, -1e-300, 2**64 - 1, -(2**31), 2**64 - 1),
              (1_700_000_000, 1.0, 2.0, 0.5, 1.5, 12, 3, 0)]


def records(fmt, rows):
    return b"".join(struct.pack(fmt, *row) for row in rows)


def records_reply(command, block, count=None, result=1):
    return reply(command, result, u32(len(block) // 60 if count is None else count) + block)


def numpy_traced():
    return sum(t.size for t in tracemalloc.take_snapshot().filter_traces(
        [tracemalloc.DomainFilter(True, NUMPY_DOMAIN)]).traces)


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


# ---- layouts ---------------------------------------------------------------------

@KINDS
@pytest.mark.parametrize("empty", [False, True])
def test_fields_read_back_as_sent(fake, core, kind, empty):
    name, command, args, fields, fmt = kind
    rows = [] if empty else TICK_VALUES if kind is TICKS else BAR_VALUES
    fake.connected(records_reply(command, records(fmt, rows), result=7))  # any result >= 0 is success
    array = getattr(core, name)(*args)
    assert core.last_error() == (1, "Success")
    assert type(array) is np.ndarray and array.dtype.itemsize == 60
    assert array.dtype.names == fields
    assert [tuple(r.item()) for r in array] == rows
    assert array.flags.owndata and array.base is None and array.flags.c_contiguous and array.flags.writeable


# ---- arrays over the received block ----------------------------------------------

def test_arrays_own_their_records_and_free_them(fake, core, traced):
    # More records than the first storage holds: the array grows as they
    # arrive and still owns one exact block, allocated by NumPy.
    count, calls = 1_300_000, 200
    head = u32(count * 60 + 12) + u32(105) + struct.pack("<i", 1) + u32(count)
    fake.connected((head, {"pad": count * 60}), *[records_reply(105, bytes(6000))] * (calls + 1))
    before = numpy_traced()
    array = core.copy_ticks_range("EURUSD", 0, 10, 0)
    assert array.shape == (count,)
    assert array.flags.owndata and array.base is None and array.flags.writeable
    assert numpy_traced() - before == array.nbytes
    raw = array.view(np.uint8)
    first = (64 << 20) // 60 * 60  # what the first storage held
    for at in (0, first - (1 << 15), count * 60 - (1 << 16)):
        expected = (np.arange(at, at + (1 << 16)) % 251).astype(np.uint8)
        assert np.array_equal(raw[at:at + (1 << 16)], expected)
    del array, raw
    # Then 200 replies of 100 records; each array is dropped before the next
    # call, so NumPy's traced memory returns to where it was and the records'
    # shared layout keeps its reference count.
    dtype = core.copy_ticks_range("EURUSD", 0, 10, 0).dtype
    before, references = numpy_traced(), sys.getrefcount(dtype)
    for _ in range(calls):
        array = core.copy_ticks_range("EURUSD", 0, 10, 0)
        assert array.nbytes == 6000
        del array
    assert (numpy_traced(), sys.getrefcount(dtype)) == (before, references)
    assert core.last_error() == (1, "Success")


@host.posix_only("counts page faults and resident memory from /proc")
def test_large_arrays_reuse_freed_storage_only(fake, core):
    # 34 MiB replies (past what the C heap keeps for reuse): an array (or a
    # view) still alive keeps its bytes, the storage of one freed is reused,
    # so later calls touch no fresh pages, and 100 calls leave the resident
    # memory where it was.
    import resource
    n = (34 << 20) // 60 * 60
    head = u32(n + 12) + u32(105) + struct.pack("<i", 1) + u32(n // 60)
    fake.connected(records_reply(105, b"\1" * n), records_reply(105, b"\2" * n),
                   *[(head, {"pad": n})] * 100)
    view = core.copy_ticks_range("EURUSD", 0, 10, 0)[1:]
    second = core.copy_ticks_range("EURUSD", 0, 10, 0)
    assert view.tobytes() == b"\1" * (n - 60) and second.tobytes() == b"\2" * n
    del view, second
    faults, rss = [], []
    for _ in range(100):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        array = core.copy_ticks_range("EURUSD", 0, 10, 0)
        faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
        assert array.nbytes == n
        del array
        rss.append(int(open("/proc/self/statm").read().split()[1]) * resource.getpagesize())
    # Under the address sanitizer freed blocks wait in its quarantine, so the
    # resident memory also grows by whatever Python frees, and a call's own
    # small objects now and then take fresh pages: only faults count, a few
    # of them against the 8 700 pages a fresh 34 MiB block would take.
    sanitized = "asan" in os.environ.get("LD_PRELOAD", "")
    assert sorted(faults)[50] <= (64 if sanitized else 0) and (sanitized or rss[-1] - rss[1] < 1 << 20)
    core.shutdown()  # gives back the idle blocks
    assert int(open("/proc/self/statm").read().split()[1]) * resource.getpagesize() < rss[-1] - (60 << 20)


def test_a_reused_block_keeps_room_for_its_header(fake, core):
    # Storage starts with a 16-byte header. A 34 MiB block is reused for an
    # array one record short of whole pages and trimmed in place to them
    # (the pages after it given back); freed again, it is taken for an array
    # of exactly those pages, which with the header needs 16 bytes more than
    # the block holds: the block must grow, not be written past its end.
    step = math.lcm(60, mmap.PAGESIZE)  # whole records in whole pages
    whole = (8 << 20) // step * step
    sizes = [(34 << 20) // 60 * 60, whole - 60, whole]
    fake.connected(*[(u32(n + 12) + u32(105) + struct.pack("<i", 1) + u32(n // 60), {"pad": n}) for n in sizes])
    pattern = bytes(range(251)) * ((34 << 20) // 251 + 1)
    for n in sizes:
        array = core.copy_ticks_range("EURUSD", 0, 10, 0)
        assert core.last_error() == (1, "Success") and array.nbytes == n
        assert array.tobytes() == pattern[:n]
        del array


# ---- failing replies -------------------------------------------------------------

MESSAGES = {-1: "Terminal: Call failed", -4: "Terminal: Not found", -8: "Terminal: Call failed",
            -10000: "IPC call failed", -10002: "IPC recv failed"}


@pytest.mark.parametrize(
    "frame, code",
    [
        pytest.param(reply(108, -4), -4, id="refusal-alone"),
        pytest.param(reply(108, -1, u32(2) + bytes(120)), -1, id="refusal-with-records"),
        pytest.param(reply(108, -8, u32(5) + bytes(60)), -8, id="refusal-wins-over-short-frame"),
        pytest.param(reply(106, 1, u32(1) + bytes(60)), -10000, id="echo-of-another-command"),
        pytest.param(reply(108, 1), -10002, id="no-count"),
        pytest.param(reply(108, 1, u32(3) + bytes(179)), -10002, id="one-byte-short"),
        pytest.param(reply(108, 1, u32(3) + bytes(181)), -10002, id="one-byte-over"),
        pytest.param(reply(108, 1, u32(2) + bytes(180)), -10002, id="one-record-over"),
        pytest.param(reply(108, 1, u32(0xFFFFFFFF) + bytes(60)), -10002, id="count-beyond-frame"),
        pytest.param(reply(108, 0, b"\x01\x00"), -10002, id="half-a-count"),
        pytest.param(reply(108, 1, u32(3) + bytes(40_000)), -10002, id="tail-over-two-blocks"),
        pytest.param(reply(108, -1, bytes(50_000)), -1, id="refusal-over-three-blocks"),
    ],
)
def test_failed_reply_keeps_the_stream_in_step(fake, core, traced, frame, code):
    good = records_reply(108, bytes(60))
    fake.connected(frame, good)
    before = numpy_traced()
    tracemalloc.reset_peak()
    assert core.copy_rates_from_pos("EURUSD", 1, 0, 1) is None
    assert core.last_error() == (code, MESSAGES[code])
    assert numpy_traced() == before                   # nothing allocated stays behind
    assert tracemalloc.get_traced_memory()[1] < 1 << 20  # no allocation for promised records
    assert core.copy_rates_from_pos("EURUSD", 1, 0, 1).shape == (1,)


def test_connection_lost_while_reading_records(fake, core, traced):
    # The frame promises 1000 records and holds them by its length, so the
    # array is made; the peer then goes away after 100 of them.
    whole = records_reply(108, bytes(60_000))
    fake.connected((whole[:16 + 6000], "close"))
    before = numpy_traced()
    assert core.copy_rates_from_pos("EURUSD", 1, 0, 1000) is None
    assert core.last_error() == (-10002, "IPC recv failed")
    assert numpy_traced() == before
    assert core.copy_rates_from_pos("EURUSD", 1, 0, 1) is None
    assert core.last_error() == (-10004, "No IPC connection, call initialize() first")


# ---- memory limits -------------------------------------------------------------

@host.posix_only("limits the address space with setrlimit, measured from /proc")
def test_storage_follows_what_arrives_and_what_cannot_be_stored_reports_no_memory(fake):
    # Only 128 MiB more address space may be taken. 400 MB of records really
    # arrive: the call reports -3 and the rest of the reply is drained, so the
    # next call reads its own reply. Then a frame declaring 4 GiB of records
    # stops after 20 KB: it must not need 4 GiB.
    count = 400_000_000 // 60
    head = u32(count * 60 + 12) + u32(105) + struct.pack("<i", 1) + u32(count)
    declared = u32(0xFFFFFFFF) + u32(105) + struct.pack("<i", 1) + u32((0xFFFFFFFF - 12) // 60)
    fake.serve((head, {"pad": count * 60}), records_reply(105, bytes(120)),
               (declared + bytes(20_000), "close"))
    script = f"""
import resource
import quorvane._core as core
assert core.initialize({fake.path!r})
size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (128 << 20), resource.RLIM_INFINITY))
print(core.copy_ticks_range('EURUSD', 0, 10, 0), core.last_error())
print(core.copy_ticks_range('EURUSD', 0, 10, 0).shape)
print(core.copy_ticks_range('EURUSD', 0, 10, 0), core.last_error())
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["None (-3, 'No memory')", "(2,)",
                                       "None (-10002, 'IPC recv failed')"]


# ---- the step (private, for the backtest's driver) --------------------------------

T0 = 1_767_571_200_000


def step_head(now, following, before=(0.0,) * 3, after=(0.0,) * 3):
    return struct.pack("<qq3d3d", now, following, *before, *after)


STEP_OK = step_head(T0 + 3_599_999, T0 + 3_600_250, (9997.5, 9987.5, 1100.1), (9997.5, 10087.5, 1100.1))
BARS = records(BAR_FORMAT, BAR_VALUES)


@pytest.mark.parametrize("frame, outcome", [
    pytest.param(reply(901, 1, STEP_OK + u32(2) + BARS + u32(0)),
                 (T0 + 3_599_999, T0 + 3_600_250, [BAR_VALUES, []], (9997.5, 9987.5, 1100.1), None), id="step"),
    pytest.param(reply(901, -4), -4, id="refused"),
    pytest.param(reply(908, 1, STEP_OK + u32(0) + u32(0)), -10000, id="echo-of-another-command"),
    pytest.param(reply(901, 1, STEP_OK + u32(0)), -10002, id="one-count-missing"),
    pytest.param(reply(901, 1, STEP_OK + u32(0) + u32(0) + b"\0"), -10002, id="one-byte-over"),
    pytest.param(reply(901, 1, STEP_OK[:-1]), -10002, id="short-head"),
    pytest.param(reply(901, 1, STEP_OK + u32(0) + u32(0xFFFFFFFF) + BARS), -10002, id="count-beyond-frame"),
])
def test_a_step_on_the_wire(fake, core, traced, frame, outcome):
    fake.connected(frame, reply(901, 1, step_head(T0, -1) + u32(0) + u32(0)))
    before = numpy_traced()
    got = core._step(T0 + 3_599_999, 60, ("MYEUR", "EURUSD"), True, False)
    if isinstance(outcome, int):
        assert got is None and core.last_error() == (outcome, MESSAGES.get(outcome, "Terminal: Not found"))
        assert numpy_traced() == before                     # nothing allocated stays behind
        assert tracemalloc.get_traced_memory()[1] < 1 << 20  # nor for promised records
    else:
        now, following, bars, funds_before, funds_after = got
        assert (now, following, [[tuple(r.item()) for r in b] for b in bars], funds_before, funds_after) == outcome
        assert [(b.dtype.names, b.dtype.itemsize, b.flags.owndata) for b in bars] == [(BAR_FIELDS, 60, True)] * 2
    # The stream stays in step: the next step reads its own reply.
    assert core._step(0, 60, ["MYEUR", "EURUSD"], False, False)[:2] == (T0, -1)
    first, second = fake.requests()
    assert first == u32(4 + 8 + 4 + 4 + 4 + 14 + 16) + u32(901) + struct.pack("<qiII", T0 + 3_599_999, 60, 1, 2) + \
        wide("MYEUR") + wide("EURUSD")
    assert second[8:24] == struct.pack("<qiI", 0, 60, 0)


@pytest.mark.parametrize("args", [
    (0, 60, ("EURUSD",), True),                       # a flag missing
    (0, 60, ("EURUSD",), 1, False),                   # a flag not a bool
    (0.5, 60, ("EURUSD",), False, False),
    (0, 60, "EURUSD", False, False),                  # names, not one text
    (0, 60, ("EURUSD", 5), False, False),
    (0, 60, ("E" * 30,), False, False),               # 30 units: longer than any symbol
    (0, 60, ("E" * 29,) * 1100, False, False),        # a request over 64 KiB
], ids=["four", "flag", "target", "text", "name", "long", "many"])
def test_a_step_with_invalid_arguments_sends_nothing(fake, core, args):
    fake.connected()
    assert core._step(*args) is None and core.last_error() == (-2, "Invalid arguments")
    assert fake.requests() == []


# ---- the step loop (private, for the backtest's driver) ---------------------------

HOUR = 3_600_000
END = T0 + 10 * HOUR
BAR_DTYPE = np.dtype({"names": BAR_FIELDS, "formats": ["<i8", "<f8", "<f8", "<f8", "<f8", "<u8", "<i4", "<u8"],
                      "offsets": [0, 8, 16, 24, 32, 40, 48, 52], "itemsize": 60})


def hour_bar(k):
    """The H1 bar opening k hours after T0."""
    return struct.pack(BAR_FORMAT, T0 // 1000 + 3600 * k, 1.0 + k, 1.0 + k, 1.0 + k, 1.0 + k, 1, 0, 0)


def drive_step(now, funds, *per_symbol):
    return reply(901, 1, step_head(now, -1, funds) + b"".join(u32(len(bars)) + b"".join(bars) for bars in per_symbol))


SEEDS = (np.frombuffer(hour_bar(-3) + hour_bar(-2) + hour_bar(-1), BAR_DTYPE), np.frombuffer(b"", BAR_DTYPE))
# MYEUR's bars as they close; EURUSD's one bar comes with the second step,
# but it is not that step's bar (it closed an hour before): kept, no call.
DRIVEN = [drive_step(T0 + HOUR - 1, (0.0,) * 3, [hour_bar(0)], []),
          drive_step(T0 + 2 * HOUR - 1, (10000.0, 10000.0, 0.0), [hour_bar(1)], [hour_bar(0)]),
          drive_step(T0 + 2 * HOUR - 1, (9997.5, 9987.5, 1100.1), [], [])]


@pytest.mark.parametrize("last, outcome", [
    pytest.param(DRIVEN[2], (1, "Success"), id="to-the-end"),
    pytest.param(reply(901, -2), (-2, "Terminal: Invalid params"), id="refused"),
    pytest.param(drive_step(T0 + HOUR - 2, (0.0,) * 3, [], []), (-10002, "IPC recv failed"), id="clock-back"),
    pytest.param(drive_step(END + 1, (0.0,) * 3, [], []), (-10002, "IPC recv failed"), id="past-the-end"),
    pytest.param(reply(901, 1, step_head(END, -1) + u32(0) + u32(0xFFFFFFFF) + hour_bar(2)),
                 (-10002, "IPC recv failed"), id="count-beyond-frame"),
    pytest.param(reply(901, 1, step_head(END, -1) + u32(0)), (-10002, "IPC recv failed"), id="one-count-missing"),
])
def test_the_step_loop_on_the_wire(fake, core, last, outcome):
    fake.connected(*DRIVEN[:2], last, reply(901, 1, step_head(T0, -1) + u32(0)))
    calls, reported = [], []

    def progress(now):
        reported.append(now)
        return now + 1

    got = core._drive(lambda symbol, bars: calls.append((symbol, bars)), 60, ("MYEUR", "EURUSD"), 2, SEEDS, T0,
                      END, 0, progress)
    assert core.last_error() == outcome
    # Called after each step's on_bar calls whose clock reached what the last call asked for.
    assert reported == [T0 + HOUR - 1, T0 + 2 * HOUR - 1]
    # The bars closed by each call, as they were then: the buffer behind
    # the first view (room for four rows: twice the lookback, no spare
    # ones) was full, replaced, and that view stayed as it was.
    assert [(s, b["time"].tolist(), b.flags.writeable) for s, b in calls] == [
        ("MYEUR", [T0 // 1000 - 3600, T0 // 1000], False), ("MYEUR", [T0 // 1000, T0 // 1000 + 3600], False)]
    assert calls[0][1].base is not calls[1][1].base
    if outcome[0] == 1:
        clock, rows, kept = got
        # Every bar the steps brought, per symbol, the seeds left out.
        assert [bytes(k) for k in kept] == [hour_bar(0) + hour_bar(1), hour_bar(0)]
        equity = np.frombuffer(rows, dtype=[("time_msc", "<i8"), ("balance", "<f8"), ("equity", "<f8"),
                                            ("margin", "<f8")])
        assert (clock, equity.tolist()) == (T0 + 2 * HOUR - 1, [(T0 + HOUR - 1, 10000.0, 10000.0, 0.0),
                                                                (T0 + 2 * HOUR - 1, 9997.5, 9987.5, 1100.1)])
    else:
        assert got == (T0 + 2 * HOUR - 1, None, None)
    # The stream stays in step: the next call reads its own reply.
    assert core._step(0, 60, ["MYEUR"], False, False)[:2] == (T0, -1)
    # The first step asks for no funds (the account opens at its end), the others for those before it.
    head = struct.pack("<qi", END, 60)
    names = u32(2) + wide("MYEUR") + wide("EURUSD")
    assert [r[8:] for r in fake.requests()[:3]] == [head + u32(flags) + names for flags in (4, 5, 5)]


def raising(*args):
    raise ZeroDivisionError("the strategy's own")


# An exception of on_bar, or of the progress hook (or its result not an integer).
@pytest.mark.parametrize("on_bar, progress, raised", [
    (raising, None, ZeroDivisionError), (print, raising, ZeroDivisionError), (print, lambda now: "later", TypeError),
], ids=["on_bar", "progress", "progress-result"])
def test_the_step_loop_hands_on_bar_s_exception_on(fake, core, on_bar, progress, raised):
    fake.connected(DRIVEN[0], reply(901, 1, step_head(T0, -1) + u32(0)))
    with pytest.raises(raised):
        core._drive(on_bar, 60, ["MYEUR", "EURUSD"], 2, SEEDS, T0, END, 0, progress)
    assert core._step(0, 60, ["MYEUR"], False, False)[:2] == (T0, -1)
    assert len(fake.requests()) == 2


@pytest.mark.parametrize("args", [
    (print, 60, ("MYEUR", "EURUSD"), 2, SEEDS[:1], T0, END, 0),                # a seed missing
    (print, 60, ("MYEUR", "EURUSD"), 0, SEEDS, T0, END, 0),                    # no lookback
    (print, 60, ("MYEUR", "EURUSD"), 2, SEEDS, T0, END, -1),                   # spare rows below 0
    (print, 60, (), 2, (), T0, END, 0),                                        # no symbol
    ("print", 60, ("MYEUR", "EURUSD"), 2, SEEDS, T0, END, 0),                  # not callable
    (print, 60, ("MYEUR", "EURUSD"), 2, (SEEDS[0], SEEDS[1]["time"]), T0, END, 0),  # not bars
    (print, 60, ("MYEUR", "EURUSD"), 2, (SEEDS[0], np.zeros(2, BAR_DTYPE)[::-1]), T0, END, 0),  # not contiguous
    (print, 60, ("MYEUR", "EURUSD"), 2, SEEDS, T0, END),                       # an argument missing
    (print, 60, ("MYEUR", "EURUSD"), 2, SEEDS, T0, END, 0, 5),                 # progress not callable
], ids=["seeds", "lookback", "spare", "symbols", "on_bar", "dtype", "strided", "seven", "progress"])
def test_a_step_loop_with_invalid_arguments_sends_nothing(fake, core, args):
    fake.connected()
    assert core._drive(*args) is None and core.last_error() == (-2, "Invalid arguments")
    assert fake.requests() == []
