"""Tick and bar history end to end, against the bundled Terminal: the module's
arrays must hold exactly the records the Terminal sends for the same request
to a raw socket."""

import datetime as dt

import pytest

NOW = 1_768_478_400  # 2026-01-15 12:00 UTC: the Terminal's clock, fixed
UTC = dt.timezone.utc
ALL_TICKS, INFO_TICKS = 3, 1  # the Terminal's copy selections
M1, M15, H1 = 1, 15, 60


def at(*args):
    return dt.datetime(*args, tzinfo=UTC)


def ms(when):
    return int(when.timestamp()) * 1000


def s(when):
    return int(when.timestamp())


MONDAY = at(2025, 3, 3, 9)

CASES = [
    ("copy_ticks_from", ("EURUSD", MONDAY, 5000, ALL_TICKS),
     lambda c: c.ticks_from("EURUSD", ms(MONDAY), 5000, ALL_TICKS)),
    ("copy_ticks_range", ("GBPUSD", MONDAY, at(2025, 3, 3, 9, 20), INFO_TICKS),
     lambda c: c.ticks_range("GBPUSD", ms(MONDAY), ms(at(2025, 3, 3, 9, 20)), INFO_TICKS)),
    ("copy_rates_from", ("EURUSD", H1, MONDAY, 100),
     lambda c: c.rates_from("EURUSD", H1, s(MONDAY), 100)),
    ("copy_rates_range", ("USDJPY", M1, MONDAY, at(2025, 3, 4)),
     lambda c: c.rates_range("USDJPY", M1, s(MONDAY), s(at(2025, 3, 4)))),
    ("copy_rates_from_pos", ("EURUSD", M15, 0, 500),
     lambda c: c.rates_from_pos("EURUSD", M15, 0, 500)),
]


@pytest.mark.parametrize("name, args, raw", CASES, ids=[c[0] for c in CASES])
def test_arrays_hold_what_the_terminal_sent(core, bundled, name, args, raw):
    client = bundled("--now", str(NOW))
    array = getattr(core, name)(*args)
    assert core.last_error() == (1, "Success")
    result, expected = raw(client)
    assert result >= 0 and len(expected) > 0
    assert array.dtype.names == expected.dtype.names
    assert array.tobytes() == expected.tobytes()
    assert array.flags.owndata
