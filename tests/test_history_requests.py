"""Tick and bar history requests: argument rules, date conversion and the
exact bytes each function puts on the wire, against a scripted Terminal."""

import datetime as dt
import time

import numpy as np
import pytest

from fake_terminal import i32, i64, reply, request, u32, wide

UTC = dt.timezone.utc
EMPTY = u32(0)  # a record reply holding no records


# ---- exact request bytes ------------------------------------------------------

# Symbols: empty (count 0 alone), the longest, 29 UTF-16 units, non-ASCII,
# a str subclass.
SYMBOLS = ["", "S" * 29, "\U0001F600" * 14 + "x", "Ünïcødé",
           type("Name", (str,), {})("XAUUSD")]


@pytest.mark.parametrize(
    "name, command, args, tail",
    [
        ("copy_ticks_from", 104, ("EURUSD", 0, 1000, 2), i64(0) + i32(1000) + i32(2)),
        ("copy_ticks_from", 104, ("EURUSD", 1_700_000_000, -1, -1), i64(1_700_000_000_000) + i32(-1) + i32(-1)),
        ("copy_ticks_range", 105, ("EURUSD", 10, 2**31 - 1, 7),
         i64(10_000) + i64((2**31 - 1) * 1000) + i32(7)),
        ("copy_ticks_range", 105, ("EURUSD", -(2**31), -1, 0), i64(-(2**31) * 1000) + i64(-1000) + i32(0)),
        ("copy_rates_from", 106, ("GBPUSD", 16385, 86400, 500), i32(16385) + i64(86400) + i32(500)),
        ("copy_rates_range", 107, ("GBPUSD", 1, -5, 2**31 - 1), i32(1) + i64(-5) + i64(2**31 - 1)),
        ("copy_rates_from_pos", 108, ("GBPUSD", 1, 0, 0), i32(1) + i32(0) + i32(0)),
        ("copy_rates_from_pos", 108, ("GBPUSD", -1, 2**31 - 1, -(2**31)), i32(-1) + i32(2**31 - 1) + i32(-(2**31))),
        *[("copy_rates_from_pos", 108, (s, 1, 0, 10), i32(1) + i32(0) + i32(10)) for s in SYMBOLS],
    ],
)
def test_request_bytes(fake, core, name, command, args, tail):
    fake.connected(reply(command, 1, EMPTY))
    assert getattr(core, name)(*args) is not None
    assert core.last_error() == (1, "Success")
    assert fake.requests() == [request(command, wide(args[0].split("\0")[0]) + tail)]


# ---- dates -----------------------------------------------------------------------

def stamp(timestamp):
    """A datetime subclass whose timestamp() does `timestamp`."""
    return type("Stamp", (dt.datetime,), {"timestamp": lambda self: timestamp()})(2000, 1, 1)


@pytest.mark.parametrize(
    "value, seconds",
    [
        (0, 0),
        (True, 1),
        (type("Flag", (int,), {})(12), 12),
        (1.9, 1),
        (-1.9, -1),
        (type("Seconds", (float,), {})(7.99), 7),
        (2**31 - 1, 2**31 - 1),
        (-(2**31), -(2**31)),
        (2147483647.999, 2**31 - 1),
        (-2147483648.999, -(2**31)),
        (dt.datetime(2024, 3, 1, 12, 30, 15, 900000, tzinfo=UTC), 1709296215),
        (dt.datetime(2024, 3, 1, 12, 30, tzinfo=dt.timezone(dt.timedelta(hours=2))), 1709289000),
        (dt.datetime(1969, 12, 31, 23, 59, 58, 500000, tzinfo=UTC), -1),   # -1.5 s truncates toward zero
        (stamp(lambda: 42.9), 42),                                        # its own timestamp()
    ],
)
def test_date_conversion(fake, core, value, seconds):
    # Bars carry seconds, ticks milliseconds, both as 64-bit numbers.
    fake.connected(reply(106, 1, EMPTY), reply(104, 1, EMPTY))
    assert core.copy_rates_from("EURUSD", 1, value, 3) is not None
    assert core.copy_ticks_from("EURUSD", value, 3, 0) is not None
    bars, ticks = fake.requests()
    assert bars == request(106, wide("EURUSD") + i32(1) + i64(seconds) + i32(3))
    assert ticks == request(104, wide("EURUSD") + i64(seconds * 1000) + i32(3) + i32(0))


@pytest.mark.skipif(not hasattr(time, "tzset"), reason="POSIX only: the local time zone through TZ")
def test_naive_datetime_is_local_time(fake, core, monkeypatch):
    monkeypatch.setenv("TZ", "QVN+5")  # five hours behind UTC, without a zone database
    time.tzset()
    try:
        naive = dt.datetime(1970, 1, 2)
        assert naive.timestamp() == 86400 + 5 * 3600
        fake.connected(reply(107, 1, EMPTY))
        utc = dt.datetime(1970, 1, 2, tzinfo=UTC)
        assert core.copy_rates_range("EURUSD", 1, naive, utc) is not None
        assert fake.requests() == [request(107, wide("EURUSD") + i32(1) + i64(104400) + i64(86400))]
    finally:
        monkeypatch.undo()
        time.tzset()


# ---- argument rejections -------------------------------------------------------------

NOW = dt.datetime(2024, 1, 1, tzinfo=UTC)
# A date of a type not taken names the type; one of a type taken, the range.
BAD_TYPES = [(dt.date(2024, 1, 1), "datetime.date"), ("2024-01-01", "str"), (None, "NoneType"), (b"\x00", "bytes"),
             ([0], "list"), (dt.timedelta(seconds=5), "datetime.timedelta"), (dt.time(12, 0), "datetime.time"),
             (np.datetime64("2024-01-01"), "numpy.datetime64")]
OUT_OF_RANGE = [
    2**31, -(2**31) - 1, 2**64, 2147483648.0, -2147483649.0, 1e300, float("nan"), float("inf"), float("-inf"),
    dt.datetime(2038, 1, 19, 3, 14, 8, tzinfo=UTC), dt.datetime(1901, 12, 13, 20, 45, 51, tzinfo=UTC),
    dt.datetime(1, 1, 1), stamp(lambda: 1 / 0), stamp(lambda: "soon"), np.float64("nan"),
]
BAD_DATES = [(value, f"{{}} is a {kind}; a date is POSIX seconds (an int or a float) or a datetime.datetime")
             for value, kind in BAD_TYPES] + [
    (value, "{} must lie from 1901-12-13 20:45:52 to 2038-01-19 03:14:07 UTC (signed 32-bit POSIX seconds)")
    for value in OUT_OF_RANGE]


@pytest.mark.parametrize(
    "name, args, says",
    [*[(name, args, "") for name, args in [
        # the argument count
        ("copy_ticks_from", ()),
        ("copy_ticks_from", ("EURUSD", 0, 1)),
        ("copy_ticks_range", ("EURUSD", 0, 1, 0, 0)),
        ("copy_rates_from_pos", ("EURUSD", 1, 0)),
        ("copy_rates_range", ("EURUSD", 1, 0, 1, 5)),
        # the symbol
        ("copy_ticks_from", (b"EURUSD", 0, 1, 0)),
        ("copy_ticks_range", (None, 0, 1, 0)),
        ("copy_rates_from", (7, 1, 0, 1)),
        ("copy_rates_from_pos", ("S" * 30, 1, 0, 1)),
        ("copy_rates_range", ("\U0001F600" * 15, 1, 0, 1)),   # 30 UTF-16 units
        ("copy_ticks_from", ("EUR\0USD", 0, 1, 0)),  # the Terminal would read "EUR"
        # integer arguments go through the tuple parser as signed 32-bit
        ("copy_ticks_from", ("EURUSD", 0, 1.0, 0)),
        ("copy_ticks_from", ("EURUSD", 0, 1, 2**31)),
        ("copy_ticks_range", ("EURUSD", 0, 1, "0")),
        ("copy_rates_from", ("EURUSD", 1.5, 0, 1)),
        ("copy_rates_from", ("EURUSD", 1, 0, -(2**31) - 1)),
        ("copy_rates_from_pos", ("EURUSD", 1, NOW, 1)),
        ("copy_rates_from_pos", ("EURUSD", 1, 0, None)),
        ("copy_rates_range", ("EURUSD", None, 0, 1)),
    ]],
    # a bad second date after a good first one
    ("copy_ticks_range", ("EURUSD", NOW, dt.date(2024, 1, 2), 0), ": " + BAD_DATES[0][1].format("date_to")),
    ("copy_rates_range", ("EURUSD", 1, NOW, 2**40), ": " + BAD_DATES[-1][1].format("date_to")),
    # dates
    *[("copy_ticks_from", ("EURUSD", value, 1, 0), ": " + says.format("date_from")) for value, says in BAD_DATES],
    *[("copy_rates_from", ("EURUSD", 1, value, 1), ": " + says.format("date_from")) for value, says in BAD_DATES],
    ],
)
def test_rejected_arguments_send_nothing(fake, core, name, args, says):
    fake.connected(reply(108, 1, EMPTY))
    assert getattr(core, name)(*args) is None
    assert core.last_error() == (-2, "Invalid arguments" + says)
    # The fake answers in order: the request that follows is the first it saw.
    assert core.copy_rates_from_pos("SYNC", 1, 0, 0) is not None
    assert fake.requests() == [request(108, wide("SYNC") + i32(1) + i32(0) + i32(0))]
